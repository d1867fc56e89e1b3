"""Our server beside llama.cpp on the CPU: the same Llama-shaped 1.1B model of random weights,
10-token prompts, 32 new tokens each, greedy, at 1 and at 16 sequences, in one run.

    nice -n 15 python benchmarks/bench_serve_peer.py [--precisions fp32,bf16] [--q8_0]
                                                     [--keep DIR | --model-dir DIR]

The run builds, into a temporary directory removed at the end:

  hf/          the model as transformers saves it: hidden 2048, intermediate 5632, 22 layers,
               32 heads over 4 key-value heads, untied output head, bf16 safetensors (2.2 GB),
               with a word-level tokenizer of 32000 entries and a chat template (nothing is
               fetched from a model hub)
  model.gguf   the same weights for llama.cpp, written here with the `gguf` package (F16 matrices,
               F32 norms, the vocabulary as a plain token list with scores and types)

and then measures, one after the other so that they never share the cores:

  llama.cpp    through llama-cpp-python's low-level batch API: one llama_decode per step for all
               sequences (one seq_id each), greedy argmax of each sequence's logits
  velkor-zuma  `velkor-zuma serve --base hf/ --precision P` in a subprocess; 1 client asking
               alone, then 16 clients at once (threads), max_tokens 32; tokens from `usage`

Rates are new tokens per second of wall time from the prompt's submission to the last token,
on both sides (llama.cpp's rate over its decode steps alone, without the prompt, is printed too).
The output head's rows of the special tokens are zero, so that no sequence meets its end-of-text
token early: every reply is 32 tokens on both sides.

llama-cpp-python is not a dependency of velkor_zuma. Without it the llama.cpp side is skipped;
`pip install llama-cpp-python` builds llama.cpp from source (CMAKE_ARGS="-DGGML_NATIVE=ON" for
this CPU's instruction set). `--precision bf16` is measured when the server offers it.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

SHAPE = dict(hidden_size=2048, intermediate_size=5632, num_hidden_layers=22, num_attention_heads=32,
             num_key_value_heads=4, vocab_size=32000)
NEW_TOKENS = 32
PROMPT_WORDS = 7  # <|user|> + 7 words + </s> + <|assistant|> = a 10-token prompt
SEQUENCES = (1, 16)

# ids 0..2 are llama.cpp's defaults for a "llama" vocabulary (unk, bos, eos)
SPECIALS = ["<unk>", "<s>", "</s>", "<pad>", "<|user|>", "<|assistant|>", "<|system|>"]
CHAT_TEMPLATE = ("{% for message in messages %}<|{{ message['role'] }}|> {{ message['content'] }} </s> "
                 "{% endfor %}{% if add_generation_prompt %}<|assistant|> {% endif %}")
INSTALL_HINT = ("llama-cpp-python is not installed, so the llama.cpp side is skipped. It builds llama.cpp from "
                "source:\n    CMAKE_ARGS=\"-DGGML_NATIVE=ON\" pip install llama-cpp-python")


# ------------------------------------------------------------------------------ the model


def vocabulary() -> list[str]:
    """The special tokens, the 256 byte tokens llama.cpp looks its newline up by, then words."""
    tokens = list(SPECIALS) + ["<0x%02X>" % b for b in range(256)]
    return tokens + ["w%d" % i for i in range(len(tokens), SHAPE["vocab_size"])]


def build_model(out: Path, seed: int = 0) -> Path:
    """Write a random-weight Llama of SHAPE (bf16 safetensors) and its tokenizer into out."""
    import torch
    from safetensors.torch import save_file
    from tokenizers import Tokenizer, models, pre_tokenizers
    from transformers import GenerationConfig, LlamaConfig, PreTrainedTokenizerFast

    out.mkdir(parents=True, exist_ok=True)
    tokens = vocabulary()
    core = Tokenizer(models.WordLevel({t: i for i, t in enumerate(tokens)}, unk_token="<unk>"))
    core.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    core.add_special_tokens(SPECIALS)
    tok = PreTrainedTokenizerFast(tokenizer_object=core, unk_token="<unk>", bos_token="<s>", eos_token="</s>",
                                  pad_token="<pad>", model_max_length=2048)
    tok.chat_template = CHAT_TEMPLATE
    tok.save_pretrained(str(out))

    cfg = LlamaConfig(**SHAPE, max_position_embeddings=2048, rms_norm_eps=1e-5, tie_word_embeddings=False,
                      unk_token_id=0, bos_token_id=1, eos_token_id=2, pad_token_id=3)
    cfg.save_pretrained(str(out))
    GenerationConfig(bos_token_id=1, eos_token_id=2, pad_token_id=3, do_sample=False).save_pretrained(str(out))

    g = torch.Generator().manual_seed(seed)
    h, f, v = SHAPE["hidden_size"], SHAPE["intermediate_size"], SHAPE["vocab_size"]
    kv = h // SHAPE["num_attention_heads"] * SHAPE["num_key_value_heads"]

    def normal(*shape):
        return (torch.randn(*shape, generator=g) * 0.02).to(torch.bfloat16)

    sd = {"model.embed_tokens.weight": normal(v, h)}
    for i in range(SHAPE["num_hidden_layers"]):
        p = "model.layers.%d." % i
        sd[p + "input_layernorm.weight"] = torch.ones(h, dtype=torch.bfloat16)
        sd[p + "self_attn.q_proj.weight"] = normal(h, h)
        sd[p + "self_attn.k_proj.weight"] = normal(kv, h)
        sd[p + "self_attn.v_proj.weight"] = normal(kv, h)
        sd[p + "self_attn.o_proj.weight"] = normal(h, h)
        sd[p + "post_attention_layernorm.weight"] = torch.ones(h, dtype=torch.bfloat16)
        sd[p + "mlp.gate_proj.weight"] = normal(f, h)
        sd[p + "mlp.up_proj.weight"] = normal(f, h)
        sd[p + "mlp.down_proj.weight"] = normal(h, f)
    sd["model.norm.weight"] = torch.ones(h, dtype=torch.bfloat16)
    head = normal(v, h)
    head[: len(SPECIALS)] = 0  # logit 0 never beats the largest of 32000 others: no early end of text
    sd["lm_head.weight"] = head
    save_file(sd, str(out / "model.safetensors"), metadata={"format": "pt"})
    return out


def permute_heads(w, n_head: int):
    """Reorder each head's rows from the halves-rotated layout of transformers' Llama to the
    interleaved pairs that llama.cpp's rope expects (what its own converter does)."""
    return w.reshape(n_head, 2, w.shape[0] // n_head // 2, *w.shape[1:]).swapaxes(1, 2).reshape(w.shape)


def gguf_name(hf: str) -> str:
    if hf == "model.embed_tokens.weight":
        return "token_embd.weight"
    if hf == "model.norm.weight":
        return "output_norm.weight"
    if hf == "lm_head.weight":
        return "output.weight"
    _, _, layer, rest = hf.split(".", 3)
    part = {"input_layernorm.weight": "attn_norm", "self_attn.q_proj.weight": "attn_q",
            "self_attn.k_proj.weight": "attn_k", "self_attn.v_proj.weight": "attn_v",
            "self_attn.o_proj.weight": "attn_output", "post_attention_layernorm.weight": "ffn_norm",
            "mlp.gate_proj.weight": "ffn_gate", "mlp.up_proj.weight": "ffn_up",
            "mlp.down_proj.weight": "ffn_down"}[rest]
    return "blk.%s.%s.weight" % (layer, part)


def write_gguf(model_dir: Path, path: Path) -> Path:
    """Write model_dir's weights as an F16 GGUF for llama.cpp, one tensor at a time."""
    import gguf
    import numpy as np
    import torch
    from safetensors import safe_open

    cfg = json.loads((model_dir / "config.json").read_text())
    rope = cfg.get("rope_theta") or (cfg.get("rope_parameters") or {}).get("rope_theta", 10000.0)
    n_head, n_kv = cfg["num_attention_heads"], cfg["num_key_value_heads"]
    w = gguf.GGUFWriter(str(path), "llama")
    w.add_name("bench-serve-peer-1b")
    w.add_context_length(cfg["max_position_embeddings"])
    w.add_embedding_length(cfg["hidden_size"])
    w.add_block_count(cfg["num_hidden_layers"])
    w.add_feed_forward_length(cfg["intermediate_size"])
    w.add_rope_dimension_count(cfg["hidden_size"] // n_head)
    w.add_head_count(n_head)
    w.add_head_count_kv(n_kv)
    w.add_layer_norm_rms_eps(cfg["rms_norm_eps"])
    w.add_rope_freq_base(float(rope))
    w.add_vocab_size(cfg["vocab_size"])
    w.add_file_type(gguf.LlamaFileType.MOSTLY_F16)

    vocab = json.loads((model_dir / "tokenizer.json").read_text())["model"]["vocab"]
    tokens = [t for t, _ in sorted(vocab.items(), key=lambda kv: kv[1])]
    assert len(tokens) == cfg["vocab_size"] and all(vocab[t] == i for i, t in enumerate(tokens))
    types = [gguf.TokenType.UNKNOWN if t == "<unk>" else gguf.TokenType.CONTROL if t in SPECIALS
             else gguf.TokenType.BYTE if t.startswith("<0x") else gguf.TokenType.NORMAL for t in tokens]
    w.add_tokenizer_model("llama")
    w.add_token_list(tokens)
    w.add_token_scores([-float(i) for i in range(len(tokens))])
    w.add_token_types(types)
    w.add_unk_token_id(0)
    w.add_bos_token_id(1)
    w.add_eos_token_id(2)
    w.add_pad_token_id(3)
    w.add_add_bos_token(False)

    def converted(f, name):
        t = f.get_tensor(name)
        if t.ndim == 1:
            return t.to(torch.float32).numpy()
        if name.endswith("q_proj.weight"):
            t = permute_heads(t, n_head)
        elif name.endswith("k_proj.weight"):
            t = permute_heads(t, n_kv)
        return t.to(torch.float16).numpy()

    with safe_open(str(model_dir / "model.safetensors"), framework="pt") as f:
        names = sorted(f.keys(), key=lambda n: (n != "model.embed_tokens.weight", n == "lm_head.weight", n))
        for name in names:  # the tensor table first, from shapes alone
            shape = f.get_slice(name).get_shape()
            dtype = np.float32 if len(shape) == 1 else np.float16
            w.add_tensor_info(gguf_name(name), shape, np.dtype(dtype), int(np.prod(shape)) * np.dtype(dtype).itemsize)
        w.write_header_to_file()
        w.write_kv_data_to_file()
        w.write_ti_data_to_file()
        for name in names:  # then the data, converted one tensor at a time
            w.write_tensor_data(converted(f, name))
    w.close()
    return path


def prompts(tok, n: int) -> list[tuple[list[dict], list[int]]]:
    """n different 10-token chat prompts: (messages for the server, token ids for llama.cpp)."""
    out = []
    for s in range(n):
        words = " ".join("w%d" % (1000 + 97 * s + 331 * j) for j in range(PROMPT_WORDS))
        messages = [{"role": "user", "content": words}]
        text = tok.apply_chat_template(messages, add_generation_prompt=True, tokenize=False)
        ids = tok(text, add_special_tokens=False)["input_ids"]
        assert len(ids) == PROMPT_WORDS + 3 and tok.unk_token_id not in ids, (text, ids)
        out.append((messages, ids))
    return out


# ------------------------------------------------------------------------------ llama.cpp


def llama_quantize(src: Path, dst: Path, ftype: int) -> Path:
    import llama_cpp as L

    params = L.llama_model_quantize_default_params()
    params.ftype = ftype
    params.nthread = len(os.sched_getaffinity(0))
    rc = L.llama_model_quantize(str(src).encode(), str(dst).encode(), params)
    if rc != 0:
        raise RuntimeError("llama_model_quantize failed (%d)" % rc)
    return dst


class LlamaCpp:
    """A GGUF model through llama-cpp-python's low-level API."""

    def __init__(self, path: Path, threads: int):
        import llama_cpp as L

        self.L, self.threads = L, threads
        # llama.cpp's load log is long: keep its errors only (the callback must outlive the model)
        self._log = L.llama_log_callback(lambda level, text, _: level == 3 and sys.stderr.write(text.decode()) and None)
        L.llama_log_set(self._log, None)
        L.llama_backend_init()
        self.model = L.llama_model_load_from_file(str(path).encode(), L.llama_model_default_params())
        if not self.model:
            raise RuntimeError("llama.cpp could not load %s" % path)
        self.n_vocab = L.llama_vocab_n_tokens(L.llama_model_get_vocab(self.model))

    def close(self):
        self.L.llama_model_free(self.model)

    def context(self, n: int, n_tokens: int):
        """A context for n sequences whose batches hold up to n_tokens tokens."""
        L = self.L
        cp = L.llama_context_default_params()
        cp.n_ctx = 256 * n
        cp.n_batch = cp.n_ubatch = max(512, n_tokens)
        cp.n_seq_max = n
        cp.n_threads = cp.n_threads_batch = self.threads
        ctx = L.llama_init_from_model(self.model, cp)
        if not ctx:
            raise RuntimeError("llama_init_from_model failed")
        return ctx

    def generate(self, ctx, prompt_ids: list[list[int]], new_tokens: int):
        """Greedy continuation of every prompt in an emptied context, all sequences decoded
        together. Returns (new ids per sequence, seconds from submission to the last token,
        seconds of the decode steps after the prompt's, whether every logit was finite)."""
        import numpy as np

        L = self.L
        n = len(prompt_ids)
        total = sum(len(p) for p in prompt_ids)
        L.llama_memory_clear(L.llama_get_memory(ctx), True)
        batch = L.llama_batch_init(max(total, n), 0, 1)
        finite = True

        def put(k, token, pos, seq, want_logits):
            batch.token[k] = token
            batch.pos[k] = pos
            batch.n_seq_id[k] = 1
            batch.seq_id[k][0] = seq
            batch.logits[k] = want_logits

        def step(rows):
            nonlocal finite
            rc = L.llama_decode(ctx, batch)
            if rc != 0:
                raise RuntimeError("llama_decode returned %d" % rc)
            picked = []
            for k in rows:
                logits = np.ctypeslib.as_array(L.llama_get_logits_ith(ctx, k), shape=(self.n_vocab,))
                finite = finite and bool(np.isfinite(logits).all())
                picked.append(int(logits.argmax()))
            return picked

        try:
            t0 = time.perf_counter()
            k, last = 0, []
            for s, ids in enumerate(prompt_ids):
                for j, token in enumerate(ids):
                    put(k, token, j, s, j == len(ids) - 1)
                    k += 1
                last.append(k - 1)
            batch.n_tokens = k
            out = [[t] for t in step(last)]
            t1 = time.perf_counter()
            for i in range(1, new_tokens):
                for s in range(n):
                    put(s, out[s][-1], len(prompt_ids[s]) + i - 1, s, True)
                batch.n_tokens = n
                for s, t in enumerate(step(range(n))):
                    out[s].append(t)
            t2 = time.perf_counter()
        finally:
            L.llama_batch_free(batch)
        return out, t2 - t0, t2 - t1, finite


def run_llama(gguf_path: Path, plist, threads: int, repeats: int):
    eng = LlamaCpp(gguf_path, threads)
    try:
        res = {}
        for n in SEQUENCES:
            batch = [p[1] for p in plist[:n]]
            ctx = eng.context(n, sum(map(len, batch)))
            try:
                eng.generate(ctx, batch, 4)  # warm-up: weights paged in, threads and buffers set up
                runs = [eng.generate(ctx, batch, NEW_TOKENS) for _ in range(repeats)]
            finally:
                eng.L.llama_free(ctx)
            res[n] = dict(total=n * NEW_TOKENS / statistics.median(r[1] for r in runs),
                          decode=n * (NEW_TOKENS - 1) / statistics.median(r[2] for r in runs),
                          finite=all(r[3] for r in runs), ids=runs[0][0])
        return res
    finally:
        eng.close()


# ------------------------------------------------------------------------------ our server


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_command() -> list[str]:
    exe = Path(sys.executable).with_name("velkor-zuma")
    return [str(exe)] if exe.exists() else [shutil.which("velkor-zuma") or "velkor-zuma"]


def server_precisions(wanted: list[str]) -> list[str]:
    """The wanted precisions that `velkor-zuma serve --help` lists."""
    text = subprocess.run(server_command() + ["serve", "--help"], capture_output=True, text=True).stdout
    choices = re.search(r"--precision \{([^}]*)\}", text)
    offered = choices.group(1).split(",") if choices else text.split()
    have = [p for p in wanted if p in offered]
    for p in wanted:
        if p not in have:
            print("velkor-zuma serve does not offer --precision %s here: skipped" % p)
    return have


class Server:
    def __init__(self, model_dir: Path, precision: str, log: Path):
        import httpx

        self.url = "http://127.0.0.1:%d" % free_port()
        self.log = log
        with open(log, "w") as out:
            self.proc = subprocess.Popen(
                server_command() + ["serve", "--base", str(model_dir), "--precision", precision,
                                    "--port", self.url.rsplit(":", 1)[1], "--max-new-tokens", str(NEW_TOKENS)],
                stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 900
        while True:
            try:
                r = httpx.get(self.url + "/healthz", timeout=5)
                if r.status_code == 200:
                    self.health = r.json()
                    return
            except httpx.HTTPError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("the server did not come up:\n" + log.read_text()[-3000:])
            time.sleep(0.5)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def ask(self, client, messages, max_tokens=NEW_TOKENS):
        body = {"model": "base", "messages": messages, "max_tokens": max_tokens, "temperature": 0}
        r = client.post(self.url + "/v1/chat/completions", json=body)
        r.raise_for_status()
        reply = r.json()
        return reply["usage"]["completion_tokens"], reply["choices"][0]["message"]["content"]

    def clients(self, plist, n: int):
        """n clients asking at once (each its own prompt); returns (tokens/s, replies)."""
        import httpx

        pool = [httpx.Client(timeout=1800) for _ in range(n)]
        start = threading.Barrier(n + 1)

        def one(s):
            start.wait()
            return self.ask(pool[s], plist[s][0])

        try:
            with concurrent.futures.ThreadPoolExecutor(n) as ex:
                futures = [ex.submit(one, s) for s in range(n)]
                start.wait()
                t0 = time.perf_counter()
                got = [f.result() for f in futures]
                wall = time.perf_counter() - t0
        finally:
            for c in pool:
                c.close()
        return sum(g[0] for g in got) / wall, [g[1] for g in got], [g[0] for g in got]


def run_server(model_dir: Path, precision: str, plist, repeats: int, log: Path):
    import httpx

    srv = Server(model_dir, precision, log)
    try:
        with httpx.Client(timeout=1800) as c:
            srv.ask(c, plist[0][0], 4)  # warm-up
        res = {"health": srv.health}
        for n in SEQUENCES:
            runs = [srv.clients(plist, n) for _ in range(repeats)]
            res[n] = dict(total=statistics.median(r[0] for r in runs), replies=runs[0][1], tokens=runs[0][2])
        return res
    finally:
        srv.close()


# ------------------------------------------------------------------------------ report


def cpu_summary() -> str:
    info = Path("/proc/cpuinfo").read_text() if Path("/proc/cpuinfo").exists() else ""
    model = next((ln.split(":", 1)[1].strip() for ln in info.splitlines() if ln.startswith("model name")), "?")
    flags = next((set(ln.split(":", 1)[1].split()) for ln in info.splitlines() if ln.startswith("flags")), set())
    have = [f for f in ("avx2", "avx512f", "avx512_bf16", "amx_bf16", "amx_tile") if f in flags]
    return "%s; %d cores usable; %s" % (model, len(os.sched_getaffinity(0)), " ".join(have) or "no AVX2/AVX-512")


def agreement(a: list[str], b: list[str]) -> int:
    """How many leading tokens two replies (space-separated words) share."""
    k = 0
    while k < min(len(a), len(b)) and a[k] == b[k]:
        k += 1
    return k


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--precisions", default="fp32,bf16", help="server precisions to measure (default fp32,bf16)")
    ap.add_argument("--q8_0", action="store_true", help="also measure llama.cpp on Q8_0 weights")
    ap.add_argument("--repeats", type=int, default=1, help="runs per level; the median is printed")
    ap.add_argument("--threads", type=int, default=0, help="llama.cpp threads (default: the usable cores)")
    ap.add_argument("--skip-llama", action="store_true")
    ap.add_argument("--skip-server", action="store_true")
    ap.add_argument("--keep", type=Path, help="build into this directory and keep it")
    ap.add_argument("--model-dir", type=Path, help="reuse a directory that --keep built")
    args = ap.parse_args()
    threads = args.threads or len(os.sched_getaffinity(0))
    load_before = os.getloadavg()[0]

    try:
        import llama_cpp
    except ImportError:
        llama_cpp = None
        if not args.skip_llama:
            print(INSTALL_HINT)
    precisions = [] if args.skip_server else server_precisions(args.precisions.split(","))

    tmp = None
    if args.model_dir:
        root = args.model_dir
    elif args.keep:
        root = args.keep
        root.mkdir(parents=True, exist_ok=True)
    else:
        tmp = tempfile.TemporaryDirectory(prefix="bench_serve_peer-")
        root = Path(tmp.name)
    rows, notes = [], []
    try:
        from transformers import AutoTokenizer

        if not (root / "hf" / "model.safetensors").exists():
            t = time.perf_counter()
            build_model(root / "hf")
            print("built the 1.1B model (bf16 safetensors) in %.0f s" % (time.perf_counter() - t), flush=True)
        tok = AutoTokenizer.from_pretrained(str(root / "hf"))
        plist = prompts(tok, max(SEQUENCES))

        llama = {}
        if llama_cpp is not None and not args.skip_llama:
            if not (root / "model.gguf").exists():
                t = time.perf_counter()
                write_gguf(root / "hf", root / "model.gguf")
                print("wrote the F16 GGUF in %.0f s" % (time.perf_counter() - t), flush=True)
            files = {"F16": root / "model.gguf"}
            if args.q8_0:
                if not (root / "model-q8_0.gguf").exists():
                    llama_quantize(root / "model.gguf", root / "model-q8_0.gguf", llama_cpp.LLAMA_FTYPE_MOSTLY_Q8_0)
                files["Q8_0"] = root / "model-q8_0.gguf"
            for wt, path in files.items():
                llama[wt] = run_llama(path, plist, threads, args.repeats)
                r = llama[wt]
                if not all(r[n]["finite"] for n in SEQUENCES):
                    raise RuntimeError("llama.cpp produced non-finite logits on the %s model" % wt)
                label = "llama.cpp (llama-cpp-python %s)" % llama_cpp.__version__
                rows.append((label, wt, r[1]["total"], r[16]["total"]))
                rows.append(("  same, decode steps only", wt, r[1]["decode"], r[16]["decode"]))
                print("llama.cpp %s done" % wt, flush=True)

        served = {}
        for p in precisions:
            try:
                r = served[p] = run_server(root / "hf", p, plist, args.repeats, root / ("server-%s.log" % p))
            except Exception as e:  # one precision failing leaves the others' figures standing
                notes.append("server %s failed: %s: %s" % (p, type(e).__name__, str(e)[-2000:]))
                continue
            rows.append(("velkor-zuma serve, 1 / 16 clients", p, r[1]["total"], r[16]["total"]))
            short = [t for t in r[1]["tokens"] + r[16]["tokens"] if t != NEW_TOKENS]
            if short:
                notes.append("server %s: %d replies ended before %d tokens" % (p, len(short), NEW_TOKENS))
            print("server %s done (healthz: %s)" % (p, json.dumps(r["health"])), flush=True)

        # The same greedy continuation from both engines is the check that the GGUF holds the same
        # model (a head permutation gone wrong would part them at the first token).
        if "F16" in llama:
            ref = [" ".join(tok.convert_ids_to_tokens(ids)).split() for ids in llama["F16"][16]["ids"]]
            for p, r in served.items():
                same = [agreement(ref[s], r[16]["replies"][s].split()) for s in range(max(SEQUENCES))]
                notes.append("greedy tokens shared by llama.cpp F16 and the server %s, 16 prompts: median %d of %d "
                             "(min %d, max %d)" % (p, statistics.median(same), NEW_TOKENS, min(same), max(same)))
    finally:
        if tmp is not None:
            tmp.cleanup()

    print()
    print("bench_serve_peer: Llama-shaped 1.1B (hidden 2048, 22 layers, 32 heads / 4 kv, vocab 32000), random "
          "weights; %d-token prompts, %d new tokens, greedy; llama.cpp threads %d"
          % (PROMPT_WORDS + 3, NEW_TOKENS, threads))
    print("CPU: %s; load average %.1f before, %.1f after (other work on the cores slows both sides)"
          % (cpu_summary(), load_before, os.getloadavg()[0]))
    print("new tokens/s (prompt submitted to last token, all sequences together)")
    print()
    print("| engine | weights | 1 sequence | 16 sequences |")
    print("|---|---|---|---|")
    for label, wt, one, many in rows:
        print("| %s | %s | %.1f | %.1f |" % (label, wt, one, many))
    if notes:
        print()
        for n in notes:
            print(n)


if __name__ == "__main__":
    main()
