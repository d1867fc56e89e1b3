"""A small real testbed for measuring what delta compression costs: one base model and three
full fine-tunes, trained here on text that is already on the machine.

    nice -n 15 python benchmarks/testbed.py [--out DIR] [--small]

Builds into ``DIR`` (default ``benchmarks/testbed_data``, git-ignored):

    base/             a Llama-style causal LM (hidden 256, 4 layers) pretrained on a mix of
                      Python sources, C headers and manual pages, with a byte-level BPE tokenizer
    ft_python/        the base fully fine-tuned (every weight) on Python sources
    ft_c/             ... on C headers
    ft_man/           ... on manual pages (troff source)
    heldout/<d>.txt   text of each domain from files that no training step saw
    testbed.json      settings, token counts, losses and the wall time of each stage

Pretraining, fine-tuning and held-out text come from disjoint sets of files. The model
directories load with ``AutoModelForCausalLM.from_pretrained`` / ``AutoTokenizer.from_pretrained``
and hold float32 weights. Torch runs on one thread (the machine is shared); the full build takes
about ten minutes on one core. ``build(..., small=True)`` makes a seconds-long miniature with the
same layout for tests.
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import math
import time
from pathlib import Path

DOMAINS = ("python", "c", "man")

FULL = dict(hidden=256, layers=4, heads=4, intermediate=688, vocab=4096, seq=128, batch=8,
            pretrain_steps=320, finetune_steps=100, pretrain_lr=1.5e-3, finetune_lr=3e-4,
            pretrain_chars=2_000_000, finetune_chars=600_000, heldout_chars=40_000)
SMALL = dict(hidden=32, layers=2, heads=2, intermediate=64, vocab=512, seq=32, batch=4,
             pretrain_steps=12, finetune_steps=6, pretrain_lr=3e-3, finetune_lr=3e-3,
             pretrain_chars=60_000, finetune_chars=20_000, heldout_chars=4_000)


def _domain_files(domain: str) -> list[Path]:
    if domain == "python":
        files = (p for p in Path("/usr/lib/python3.11").rglob("*.py")
                 if not {"test", "tests", "idle_test", "site-packages", "dist-packages"} & set(p.parts))
    elif domain == "c":
        files = Path("/usr/include").rglob("*.h")
    elif domain == "man":
        files = Path("/usr/share/man/man1").glob("*.gz")
    else:
        raise ValueError(domain)
    return sorted(p for p in files if p.is_file() and not p.is_symlink())


def _read(path: Path) -> str:
    data = path.read_bytes()
    if path.suffix == ".gz":
        data = gzip.decompress(data)
    return data.decode("utf-8", errors="replace")


def _split(files: list[Path]) -> dict[str, list[Path]]:
    """Each file goes to one of pretrain / finetune / heldout, by a hash of its name (stable)."""
    out = {"pretrain": [], "finetune": [], "heldout": []}
    for p in files:
        h = int(hashlib.sha256(str(p).encode()).hexdigest()[:8], 16) % 10
        out["pretrain" if h < 4 else "finetune" if h < 8 else "heldout"].append(p)
    return out


def _gather(files: list[Path], limit: int, per_file: int = 8_000) -> str:
    """Up to `limit` characters, at most `per_file` from each file, files in a stable shuffled
    order: many files contribute, so no single package's pages or sources make up a domain."""
    order = sorted(files, key=lambda p: hashlib.sha256(b"order:" + str(p).encode()).digest())
    parts, total = [], 0
    for p in order:
        try:
            t = _read(p)
        except (OSError, EOFError):
            continue
        if not t.strip():
            continue
        t = t[: min(per_file, limit - total)]
        parts.append(t)
        total += len(t)
        if total >= limit:
            break
    return "\n\n".join(parts)


def _train_tokenizer(texts: list[str], vocab: int, path: Path):
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
    from transformers import PreTrainedTokenizerFast

    core = Tokenizer(models.BPE())
    core.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    core.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(vocab_size=vocab, special_tokens=["<pad>", "<s>", "</s>"],
                                  initial_alphabet=pre_tokenizers.ByteLevel.alphabet(), show_progress=False)
    core.train_from_iterator(texts, trainer=trainer)
    tok = PreTrainedTokenizerFast(tokenizer_object=core, bos_token="<s>", eos_token="</s>", pad_token="<pad>")
    tok.save_pretrained(str(path))
    return tok


def _batches(ids, seq: int, batch: int, steps: int, seed: int):
    import torch

    g = torch.Generator().manual_seed(seed)
    n = ids.numel() - seq - 1
    for _ in range(steps):
        starts = torch.randint(0, n, (batch,), generator=g)
        yield torch.stack([ids[s: s + seq + 1] for s in starts.tolist()])


def _train(model, ids, cfg: dict, steps: int, lr: float, seed: int) -> list[float]:
    import torch

    opt = torch.optim.AdamW(model.parameters(), lr=lr, weight_decay=0.0, betas=(0.9, 0.95))
    warm = max(1, steps // 10)
    losses = []
    model.train()
    for step, chunk in enumerate(_batches(ids, cfg["seq"], cfg["batch"], steps, seed)):
        scale = (step + 1) / warm if step < warm else 0.5 * (1 + math.cos(math.pi * (step - warm) / max(1, steps - warm)))
        for group in opt.param_groups:
            group["lr"] = lr * max(scale, 0.05)
        loss = model(chunk, labels=chunk).loss
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        opt.step()
        losses.append(float(loss.detach()))
    model.eval()
    return losses


def build(out: Path, *, small: bool = False, seed: int = 0, log=print) -> dict:
    """Build the testbed into ``out``; returns the contents of testbed.json."""
    import torch
    from transformers import LlamaConfig, LlamaForCausalLM

    torch.set_num_threads(1)
    torch.manual_seed(seed)
    cfg = dict(SMALL if small else FULL)
    out = Path(out)
    out.mkdir(parents=True, exist_ok=True)
    times: dict[str, float] = {}
    t0 = time.perf_counter()

    splits = {d: _split(_domain_files(d)) for d in DOMAINS}
    pretrain_text = "\n\n".join(_gather(splits[d]["pretrain"], cfg["pretrain_chars"] // len(DOMAINS)) for d in DOMAINS)
    finetune_text = {d: _gather(splits[d]["finetune"], cfg["finetune_chars"]) for d in DOMAINS}
    heldout_text = {d: _gather(splits[d]["heldout"], cfg["heldout_chars"]) for d in DOMAINS}
    (out / "heldout").mkdir(exist_ok=True)
    for d, t in heldout_text.items():
        (out / "heldout" / f"{d}.txt").write_text(t, encoding="utf-8")

    base_dir = out / "base"
    tok = _train_tokenizer([pretrain_text], cfg["vocab"], base_dir)
    times["data_and_tokenizer_s"] = time.perf_counter() - t0

    def encode(text: str):
        return torch.tensor(tok(text)["input_ids"], dtype=torch.long)

    config = LlamaConfig(vocab_size=len(tok), hidden_size=cfg["hidden"], intermediate_size=cfg["intermediate"],
                         num_hidden_layers=cfg["layers"], num_attention_heads=cfg["heads"],
                         num_key_value_heads=cfg["heads"], max_position_embeddings=512,
                         tie_word_embeddings=True, bos_token_id=tok.bos_token_id, eos_token_id=tok.eos_token_id,
                         pad_token_id=tok.pad_token_id)
    model = LlamaForCausalLM(config)
    pre_ids = encode(pretrain_text)
    t = time.perf_counter()
    pre_losses = _train(model, pre_ids, cfg, cfg["pretrain_steps"], cfg["pretrain_lr"], seed)
    times["pretrain_s"] = time.perf_counter() - t
    model.save_pretrained(str(base_dir), safe_serialization=True)
    log(f"pretrained {cfg['pretrain_steps']} steps in {times['pretrain_s']:.0f} s, "
        f"loss {pre_losses[0]:.2f} -> {sum(pre_losses[-10:]) / len(pre_losses[-10:]):.2f}")
    base_state = {k: v.clone() for k, v in model.state_dict().items()}

    ft = {}
    for i, d in enumerate(DOMAINS):
        model.load_state_dict(base_state)
        ids = encode(finetune_text[d])
        t = time.perf_counter()
        losses = _train(model, ids, cfg, cfg["finetune_steps"], cfg["finetune_lr"], seed + 1 + i)
        times[f"finetune_{d}_s"] = time.perf_counter() - t
        ft_dir = out / f"ft_{d}"
        model.save_pretrained(str(ft_dir), safe_serialization=True)
        tok.save_pretrained(str(ft_dir))
        ft[d] = {"tokens": int(ids.numel()), "loss_first": losses[0],
                 "loss_last10": sum(losses[-10:]) / len(losses[-10:])}
        log(f"fine-tuned on {d}: {cfg['finetune_steps']} steps in {times[f'finetune_{d}_s']:.0f} s, "
            f"loss {losses[0]:.2f} -> {ft[d]['loss_last10']:.2f}")

    times["total_s"] = time.perf_counter() - t0
    meta = {"settings": cfg, "small": small, "seed": seed, "domains": list(DOMAINS),
            "parameters": int(sum(p.numel() for p in model.parameters())),
            "pretrain_tokens": int(pre_ids.numel()), "finetune": ft,
            "heldout_chars": {d: len(t) for d, t in heldout_text.items()}, "times": times}
    (out / "testbed.json").write_text(json.dumps(meta, indent=2))
    return meta


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", type=Path, default=Path(__file__).resolve().parent / "testbed_data")
    ap.add_argument("--small", action="store_true", help="the seconds-long miniature used by tests")
    ap.add_argument("--force", action="store_true", help="rebuild even when testbed.json exists")
    args = ap.parse_args()
    if (args.out / "testbed.json").exists() and not args.force:
        print(f"testbed already built in {args.out} (use --force to rebuild)")
        return
    meta = build(args.out, small=args.small)
    print(f"built in {meta['times']['total_s']:.0f} s: {meta['parameters']:,} parameters -> {args.out}")


if __name__ == "__main__":
    main()
