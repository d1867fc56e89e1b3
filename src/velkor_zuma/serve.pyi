"""One resident base model serving many LoRA adapters over an OpenAI-style HTTP API."""

from pathlib import Path
from typing import Any, Dict, List, Optional, Union

from pydantic import BaseModel

class ServeConfig:
    """Configuration of the adapter server (a mutable dataclass)."""

    base: str
    adapters: Dict[str, str]
    precision: str
    cache_dir: Optional[str]
    max_new_tokens: int
    api_base: str
    api_key: Optional[str]
    # Not fields: class attributes (None) that an instance sets to serve a model library.
    library: Optional[str]
    finetunes: Optional[List[str]]
    def __init__(
        self,
        base: str,
        adapters: Dict[str, str],
        precision: str = "auto",
        cache_dir: Optional[str] = None,
        max_new_tokens: int = 256,
        api_base: str = "https://dashboard.velkor-zuma.dev",
        api_key: Optional[str] = None,
    ) -> None: ...

def _human(b: float) -> str: ...
def _vram_bytes() -> Optional[int]: ...
def _auto_precision() -> str: ...
def _rss_bytes() -> Optional[int]: ...
def _bf16_linears(model: Any) -> int: ...

# A model library served from one resident base (library_models): the engine's load calls these
# when `cfg.library` is set; each stored fine-tune becomes a model named by its id.
def _library_prepare(engine: _Engine) -> None: ...
def _library_base(engine: _Engine, source: Any) -> Any: ...
def _library_attach(engine: _Engine) -> int:
    """Sorts the fine-tunes' records for per-row use (low-rank products, packed records, dense
    rebuilds with a RuntimeWarning naming them); returns the bytes they keep resident."""
def _library_report(engine: _Engine) -> List[str]: ...

class _Engine:
    """One resident base model with its LoRA adapters (a mutable dataclass with methods)."""

    cfg: ServeConfig
    model: Any
    tokenizer: Any
    adapter_names: List[str]
    base_vram: int
    total_vram: int
    device: str
    # Host memory (process resident set) that load() added: the base, then base and adapters.
    # Class attributes (0 until loaded), not record fields.
    base_rss: int
    total_rss: int
    def __init__(
        self,
        cfg: ServeConfig,
        model: Any = None,
        tokenizer: Any = None,
        adapter_names: List[str] = ...,
        base_vram: int = 0,
        total_vram: int = 0,
        device: str = "cpu",
    ) -> None: ...
    def load(self) -> _Engine: ...
    def _resolve(self, source: str) -> Path: ...
    def _precision_kwargs(self) -> Dict[str, Any]: ...
    def servable(self) -> List[str]: ...
    def generate(
        self,
        model_name: str,
        messages: List[Dict[str, str]],
        max_new_tokens: Optional[int],
        temperature: float,
    ) -> str: ...

class ChatMessage(BaseModel):
    role: str
    # Text, a list of content parts ({"type": "text", "text": ...}), or null in an assistant
    # message that carries tool_calls.
    content: Union[str, List[Dict[str, Any]], None]

class ChatRequest(BaseModel):
    model: str
    messages: List[ChatMessage]
    max_tokens: Optional[int] = None
    temperature: float = 0.0
    stream: bool = False
    stream_options: Optional[Dict[str, Any]] = None
    # The further OpenAI fields (n, top_p, seed, stop, penalties, logit_bias, logprobs,
    # top_logprobs, response_format, tools, tool_choice, max_completion_tokens, ...) are read from
    # the body as received and checked by the handler; a field it does not honour gets 400.

class CompletionRequest(BaseModel):
    model: str
    prompt: Union[str, List[str]]
    max_tokens: Optional[int] = None
    temperature: float = 0.0
    stream: bool = False
    stream_options: Optional[Dict[str, Any]] = None

class _Pending:
    """A request submitted with `_Batcher.start`."""

    def next_text(self, timeout: float = 600.0) -> Optional[str]: ...
    def result(self, timeout: float = 600.0) -> dict[str, Any]: ...
    def cancel(self) -> None: ...
    @property
    def admitted(self) -> bool: ...
    @property
    def done(self) -> bool: ...
    @property
    def new_tokens(self) -> bool: ...
    @property
    def first_token_seconds(self) -> Optional[float]: ...

class _Batcher:
    """The step scheduler of one application (app.state.batcher)."""

    @property
    def max_batch(self) -> int: ...
    @property
    def waiting(self) -> int: ...
    @property
    def in_batch(self) -> int: ...
    def start(self, model: str, messages: Any, *, max_tokens: Optional[int] = None, stream: bool = False,
              tools: Any = None, **fields: Any) -> _Pending: ...
    def complete(self, model: str, messages: Any, *, max_tokens: Optional[int] = None, stream: bool = False,
                 tools: Any = None, **fields: Any) -> dict[str, Any]: ...
    def shutdown(self) -> None: ...
    def join(self, timeout: float = 10.0) -> None: ...

class _EventStream:
    def __iter__(self) -> _EventStream: ...
    def __next__(self) -> str: ...
    def close(self) -> None: ...

class _RequestGuard:
    def __init__(
        self, app: Any, api_key: Optional[str] = None, max_body_bytes: int = 4194304, worker_threads: int = 0
    ) -> None: ...
    def __call__(self, scope: Any, receive: Any, send: Any) -> Any: ...

class _Then:
    """An awaitable that hands another awaitable's result through a function."""
    def __await__(self) -> _Then: ...
    def __iter__(self) -> _Then: ...
    def __next__(self) -> Any: ...
    def send(self, value: Any) -> Any: ...
    def throw(self, *args: Any) -> Any: ...
    def close(self) -> None: ...

class _Metrics:
    """The Prometheus metrics of one application (app.state.metrics)."""
    @property
    def registry(self) -> Any: ...
    def render(self) -> bytes: ...

class _SchedulerCollector:
    def collect(self) -> List[Any]: ...

class _Routes: ...

class _LoopEndpoint:
    def __call__(self, scope: Any, receive: Any, send: Any) -> Any: ...

def _http_protocol(*, request_timeout: float = 30.0, keep_alive_timeout: float = 5.0) -> type: ...
def build_app(
    engine: _Engine, *, max_batch: int = 16, max_body_bytes: int = 4194304, max_waiting: int = 256
) -> Any: ...
def _start_heartbeat(cfg: ServeConfig, engine: _Engine, host: str, port: int) -> None: ...
def serve(
    cfg: ServeConfig,
    host: str,
    port: int,
    *,
    max_batch: int = 16,
    max_waiting: int = 256,
    request_timeout: float = 30.0,
    keep_alive_timeout: float = 5.0,
) -> None: ...
