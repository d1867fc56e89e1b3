"""How long a test waits for something it expects to happen.

The suite runs on shared, loaded 2-core machines, so no test decides its outcome by the clock:
each one waits for the event it means (a line on a child's pipe, a request reaching a local
server, a process's exit, a threading.Event) and a time-out only keeps a broken run from hanging
for good. PATIENCE is that time-out: far beyond what any of these waits takes on a busy machine,
and below pytest-timeout's per-test limit, so that a real hang fails with its own message."""

PATIENCE = 240


def until(condition, what="the state waited for"):
    """Waits until condition() holds, looking every 10 ms; fails naming `what` after PATIENCE.
    For states that announce themselves nowhere but in an attribute (a queue's length, a server's
    `started` flag)."""
    import threading
    import time

    deadline = time.monotonic() + PATIENCE
    while not condition():
        assert time.monotonic() < deadline, "never reached: " + what
        threading.Event().wait(0.01)
