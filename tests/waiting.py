"""How long a test waits for something it expects to happen.

The suite runs on shared, loaded 2-core machines, so no test decides its outcome by the clock:
each one waits for the event it means (a line on a child's pipe, a request reaching a local
server, a process's exit, a threading.Event) and a time-out only keeps a broken run from hanging
for good. PATIENCE is that time-out: far beyond what any of these waits takes on a busy machine,
and below pytest-timeout's per-test limit, so that a real hang fails with its own message."""

PATIENCE = 240
