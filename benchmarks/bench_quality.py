"""What each delta method costs in quality, measured on real fine-tunes (benchmarks/testbed.py).

    nice -n 15 python benchmarks/bench_quality.py [--testbed DIR] [--max-tokens N]

For every method and setting, on each of the testbed's three full fine-tunes: the bytes the
stored fine-tune takes on disk (its library file, header included, plus its manifest entry, as
ModelLibrary.save writes them), the ratio against the fine-tune in float16 (the testbed's
fine-tunes are float32; float16 is the usual way to ship one, so the ratio names that baseline),
the relative Frobenius error of the whole delta, and the perplexity on that domain's held-out
text, beside the uncompressed fine-tune's and the base's perplexity. Deltas of fewer than two
dimensions (norm weights) are stored uncompressed in every setting, as the model library stores
them. svd_mixed spends one budget over all the 2-D tensors of a fine-tune, as the library does.
Prints a markdown table and writes it as JSON beside the testbed. Builds the testbed first when
it is missing.
"""

from __future__ import annotations

import argparse
import json
import tempfile
import time
from pathlib import Path

import numpy as np

WINDOW, STRIDE = 256, 128


def settings():
    from velkor_zuma import lowrank as L

    def lib(method, **kw):
        return lambda d: L.compress(d, method, **kw)

    def mixed(bits, zstd=False):
        # Not a per-tensor function: the library's add spends one budget over the fine-tune.
        return {"method": "svd_mixed", "bits": bits, "zstd": zstd}

    return [
        ("tt, max_rank 8 (library default)", lib("tt", max_rank=8)),
        ("svd, rank 8", lambda d: L.svd_compress_energy(d, energy=1.0, max_rank=8)),
        ("svd, energy 0.9", lambda d: L.svd_compress_energy(d, energy=0.9)),
        ("sign, scale per matrix", lambda d: L.sign_compress(d, per_row=False)),
        ("sign, scale per row", lambda d: L.sign_compress(d)),
        ("sign, scales per row and column", lambda d: L.sign_compress(d, per_column=True)),
        ("sign + rank 8", lambda d: L.sign_compress(d, rank=8)),
        ("4-bit, group 128", lambda d: L.svd_quant_compress(d, rank=0, bits=4)),
        ("rank 8 + 4-bit, group 128", lambda d: L.svd_quant_compress(d, rank=8, bits=4)),
        ("8-bit, group 128", lambda d: L.svd_quant_compress(d, rank=0, bits=8)),
        ("auto, max_error 0.6", lambda d: L.compress_best(d, max_error=0.6)),
        ("auto, max_error 0.3", lambda d: L.compress_best(d, max_error=0.3)),
        ("svd_mixed, 1.0 bits", mixed(1.0)),
        ("svd_mixed, 1.2 bits (default)", mixed(1.2)),
        ("svd_mixed, 1.5 bits", mixed(1.5)),
        ("svd_mixed, 1.0 bits + zstd", mixed(1.0, True)),
        ("svd_mixed, 1.2 bits + zstd", mixed(1.2, True)),
        ("svd_mixed, 1.5 bits + zstd", mixed(1.5, True)),
    ]


def compress_delta(base: dict, ft: dict, fn):
    """Stores the fine-tune by `fn` (a per-tensor compressor, or ModelLibrary settings), saves the
    library and measures what is on disk. Returns (bytes on disk, bytes of the records' arrays,
    relative error, rebuilt state dict, methods)."""
    from velkor_zuma import deltavault as dv
    from velkor_zuma import lowrank as L

    if isinstance(fn, dict):
        lib = dv.ModelLibrary("base", base, **fn)
        records = lib.add_finetune("ft", ft).tensors
    else:
        lib = dv.ModelLibrary("base", base)
        records = {}
        for name, w in ft.items():
            d = (w - base[name]).astype(np.float32)
            records[name] = fn(d) if d.ndim >= 2 else L.compress(d, "none")
        lib.deltas["ft"] = dv.CompressedDelta("ft", records, "base")
    with tempfile.TemporaryDirectory() as tmp:
        lib.save(tmp)
        manifest = json.loads((Path(tmp) / "manifest.json").read_text())
        entry = manifest["finetunes"][0]
        on_disk = (Path(tmp) / entry["file"]).stat().st_size + len(json.dumps(entry, separators=(",", ":")))
    rebuilt = lib.reconstruct("ft")
    num = den = 0.0
    for name, w in ft.items():
        d = (w - base[name]).astype(np.float64)
        num += float(np.sum((d - (rebuilt[name] - base[name]).astype(np.float64)) ** 2))
        den += float(np.sum(d ** 2))
    arrays = sum(r.compressed_size_bytes for r in records.values())
    methods = sorted({str(r.method.value) for r in records.values() if len(r.shape) >= 2})
    return on_disk, arrays, (num ** 0.5) / (den ** 0.5 + 1e-30), rebuilt, methods


def main() -> None:
    import torch

    from velkor_zuma import hubload

    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--testbed", type=Path, default=Path(__file__).resolve().parent / "testbed_data")
    ap.add_argument("--max-tokens", type=int, default=4096)
    args = ap.parse_args()
    torch.set_num_threads(1)
    tb = args.testbed
    if not (tb / "testbed.json").exists():
        # Built once (about six minutes of one core), then reused by every later run.
        import testbed

        print(f"building the testbed into {tb} first (benchmarks/testbed.py)", flush=True)
        testbed.build(tb)
    meta = json.loads((tb / "testbed.json").read_text())
    domains = meta["domains"]
    base_dir = tb / "base"
    base = hubload.load_state_dict_numpy(base_dir)

    def ppl(sd, model_dir, domain):
        return hubload.perplexity_from_text(model_dir, sd, tb / "heldout" / f"{domain}.txt",
                                            max_tokens=args.max_tokens, window=WINDOW, stride=STRIDE)

    rows, ref = [], {}
    t0 = time.perf_counter()
    for d in domains:
        ft_dir = tb / f"ft_{d}"
        ft = hubload.load_state_dict_numpy(ft_dir)
        fp16 = sum(int(w.size) * 2 for w in ft.values())
        ref[d] = {"fp16_bytes": fp16, "base_ppl": ppl(None, base_dir, d), "ft_ppl": ppl(None, ft_dir, d)}
        print(f"{d}: base {ref[d]['base_ppl']:.3f}, fine-tune {ref[d]['ft_ppl']:.3f}, "
              f"float16 fine-tune {fp16:,} bytes", flush=True)
        for label, fn in settings():
            t = time.perf_counter()
            nbytes, arrays, err, rebuilt, methods = compress_delta(base, ft, fn)
            p = ppl(rebuilt, base_dir, d)
            rows.append({"domain": d, "setting": label, "bytes": nbytes, "array_bytes": arrays,
                         "ratio_vs_fp16": fp16 / nbytes, "rel_error": err, "ppl": p,
                         "ppl_vs_ft": p / ref[d]["ft_ppl"] - 1.0, "methods": methods,
                         "seconds": time.perf_counter() - t})
            print(f"  {label:34s} {nbytes:>11,} B {fp16 / nbytes:6.2f}x err {err:.4f} ppl {p:.3f} "
                  f"({100 * (p / ref[d]['ft_ppl'] - 1):+.2f}%) [{time.perf_counter() - t:.0f} s]", flush=True)

    print()
    print(f"Held-out perplexity: first {args.max_tokens} tokens, windows {WINDOW}, stride {STRIDE}. "
          "Bytes: the fine-tune's library file and manifest entry, as saved. "
          "Ratio: the fine-tune in float16 / those bytes.")
    print()
    head = "| setting | " + " | ".join(f"{d}: bytes | ratio | rel. err | ppl (vs ft)" for d in domains) + " |"
    print(head)
    print("|" + "---|" * (1 + 4 * len(domains)))
    print("| base | " + " | ".join(f"- | - | - | {ref[d]['base_ppl']:.3f}" for d in domains) + " |")
    print("| fine-tune, float16 | " + " | ".join(f"{ref[d]['fp16_bytes']:,} | 1.00x | 0 | {ref[d]['ft_ppl']:.3f}"
                                                 for d in domains) + " |")
    for label, _ in settings():
        cells = []
        for d in domains:
            r = next(r for r in rows if r["domain"] == d and r["setting"] == label)
            cells.append(f"{r['bytes']:,} | {r['ratio_vs_fp16']:.2f}x | {r['rel_error']:.3f} | "
                         f"{r['ppl']:.3f} ({100 * r['ppl_vs_ft']:+.2f}%)")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print(f"\n{time.perf_counter() - t0:.0f} s in all")
    (tb / "quality.json").write_text(json.dumps({"reference": ref, "rows": rows, "max_tokens": args.max_tokens,
                                                 "window": WINDOW, "stride": STRIDE}, indent=2))


if __name__ == "__main__":
    main()
