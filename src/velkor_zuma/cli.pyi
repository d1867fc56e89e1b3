"""The `velkor-zuma` command line (console script `velkor-zuma = velkor_zuma.cli:main`).

Subcommands: demo, serve, add-base, add-finetune, list, export, dedup, list-ollama,
list-lmstudio, perplexity. Run `velkor-zuma COMMAND --help` for each one's options.
"""

from collections.abc import Sequence

def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: ``sys.argv[1:]``) and returns the exit status:
    0 on success, 1 on a runtime error (one line on stderr, no traceback; set
    VELKOR_ZUMA_DEBUG=1 for the traceback), 2 on a usage error, 130 when interrupted."""
