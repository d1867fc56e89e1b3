"""A stored fine-tune written as a peft LoRA adapter (deltavault.export_lora, `export --as-lora`):
it loads with peft over the tiny base and gives the reconstructed fine-tune's logits; records
that are not low rank are refused by name unless left out; the output directory is checked."""

import json
import subprocess
import sys

import numpy as np
import pytest
from waiting import PATIENCE

from velkor_zuma.deltavault import add_finetune_from, create_library, export_lora, open_library

torch = pytest.importorskip("torch")
transformers = pytest.importorskip("transformers")
peft = pytest.importorskip("peft")
safetensors_numpy = pytest.importorskip("safetensors.numpy")

COMMAND = [sys.executable, "-c", "import sys; from velkor_zuma.cli import main; sys.exit(main())"]
LOW_RANK = ("q_proj", "v_proj", "o_proj", "up_proj", "down_proj", "embed_tokens")


@pytest.fixture(scope="module")
def base_sd(tiny_model_dir):
    return safetensors_numpy.load_file(str(tiny_model_dir / "model.safetensors"))


def finetune(base_sd, *, seed=1, norm=False):
    """Rank-2 changes on several linear layers and the (tied) embedding; a changed final norm when
    `norm`; every other tensor as in the base."""
    rng = np.random.default_rng(seed)
    sd = {}
    for name, w in base_sd.items():
        if w.ndim == 2 and any(k in name for k in LOW_RANK):
            w = w + 0.05 * rng.standard_normal((w.shape[0], 2)) @ rng.standard_normal((2, w.shape[1]))
        if norm and name == "model.norm.weight":
            w = w + 0.1 * rng.standard_normal(w.shape)
        sd[name] = np.ascontiguousarray(w, dtype=np.float32)
    return sd


@pytest.fixture(scope="module")
def library(tiny_model_dir, base_sd, tmp_path_factory):
    lib = tmp_path_factory.mktemp("lora") / "library"
    create_library(lib, str(tiny_model_dir), tiny_model_dir)
    add_finetune_from(lib, "tt", finetune(base_sd), method="tt", max_rank=4)
    add_finetune_from(lib, "svd", finetune(base_sd, seed=2), energy=0.999999, max_rank=6)
    add_finetune_from(lib, "tucker", finetune(base_sd, seed=3), method="tucker")
    add_finetune_from(lib, "normed", finetune(base_sd, seed=4, norm=True), method="tt", max_rank=4)
    add_finetune_from(lib, "signs", finetune(base_sd, seed=5), method="sign")
    add_finetune_from(lib, "mixed", finetune(base_sd, seed=6), method="svd_mixed", bits=4.0)
    return lib


def logits_of(model):
    ids = torch.tensor([[1, 5, 9, 42, 100, 7, 3]])
    with torch.no_grad():
        return model(ids).logits.numpy()


def base_model(tiny_model_dir):
    return transformers.AutoModelForCausalLM.from_pretrained(tiny_model_dir, torch_dtype=torch.float32).eval()


def reconstructed_logits(tiny_model_dir, lib, model_id, *, skip=()):
    model = base_model(tiny_model_dir)
    with open_library(lib) as reader:
        sd = {name: torch.from_numpy(np.ascontiguousarray(reader.reconstruct_tensor(model_id, name)))
              for name in reader.delta(model_id).tensors if name not in skip}
    missing, unexpected = model.load_state_dict(sd, strict=False)
    assert not unexpected
    return logits_of(model)


def peft_logits(tiny_model_dir, adapter):
    model = peft.PeftModel.from_pretrained(base_model(tiny_model_dir), str(adapter)).eval()
    return logits_of(model)


class TestLoadsInPeft:
    @pytest.mark.parametrize("model_id", ["tt", "svd", "tucker", "mixed"])
    def test_same_logits_as_the_reconstruction(self, tiny_model_dir, library, tmp_path, model_id):
        out = tmp_path / "adapter"
        res = export_lora(library, model_id, out)
        assert res["left_out"] == []
        cfg = json.loads((out / "adapter_config.json").read_text())
        assert cfg["peft_type"] == "LORA" and cfg["task_type"] == "CAUSAL_LM"
        assert cfg["base_model_name_or_path"] == str(tiny_model_dir)
        assert cfg["r"] == res["rank"] and cfg["lora_alpha"] == cfg["r"]
        # The changed layers only (zero deltas are left out), the tied head with its embedding.
        assert sorted(cfg["target_modules"]) == res["target_modules"]
        assert "lm_head" in cfg["target_modules"] and "model.embed_tokens" in cfg["target_modules"]
        assert not any("k_proj" in t or "gate_proj" in t for t in cfg["target_modules"])
        tensors = safetensors_numpy.load_file(str(out / "adapter_model.safetensors"))
        a = tensors["base_model.model.model.layers.0.self_attn.q_proj.lora_A.weight"]
        b = tensors["base_model.model.model.layers.0.self_attn.q_proj.lora_B.weight"]
        assert a.shape == (cfg["r"], 32) and b.shape[1] == cfg["r"]
        want = reconstructed_logits(tiny_model_dir, library, model_id)
        got = peft_logits(tiny_model_dir, out)
        assert not np.allclose(want, logits_of(base_model(tiny_model_dir)), atol=1e-3)  # it changes the model
        np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-4)

    def test_dropped_records_are_named_and_the_rest_still_applies(self, tiny_model_dir, library, tmp_path):
        out = tmp_path / "adapter"
        res = export_lora(library, "normed", out, drop_non_lowrank=True)
        assert res["left_out"] == ["model.norm.weight"]
        want = reconstructed_logits(tiny_model_dir, library, "normed", skip={"model.norm.weight"})
        np.testing.assert_allclose(peft_logits(tiny_model_dir, out), want, rtol=1e-4, atol=1e-4)


    def test_conv1d_layers_of_a_gpt2_base(self, tmp_path):
        """GPT-2 stores its linear layers as Conv1D weights (in, out): peft's fan_in_fan_out."""
        cfg = transformers.GPT2Config(n_embd=32, n_layer=2, n_head=4, vocab_size=128, n_positions=64)
        torch.manual_seed(0)
        base_dir = tmp_path / "gpt2"
        transformers.GPT2LMHeadModel(cfg).save_pretrained(base_dir, safe_serialization=True)
        base = safetensors_numpy.load_file(str(base_dir / "model.safetensors"))
        rng = np.random.default_rng(3)
        tuned = {}
        for name, w in base.items():
            if w.ndim == 2 and any(k in name for k in ("c_attn", "c_fc", "mlp.c_proj", "wte")):
                w = w + 0.05 * rng.standard_normal((w.shape[0], 2)) @ rng.standard_normal((2, w.shape[1]))
            tuned[name] = np.ascontiguousarray(w, dtype=np.float32)
        lib = tmp_path / "lib"
        create_library(lib, str(base_dir), base_dir)
        add_finetune_from(lib, "ft", tuned, method="tt", max_rank=4)
        res = export_lora(lib, "ft", tmp_path / "adapter")
        cfg_out = json.loads((tmp_path / "adapter" / "adapter_config.json").read_text())
        assert cfg_out["fan_in_fan_out"] is True and "lm_head" in res["target_modules"]
        load = lambda: transformers.GPT2LMHeadModel.from_pretrained(base_dir, torch_dtype=torch.float32).eval()
        rebuilt = load()
        with open_library(lib) as reader:
            rebuilt.load_state_dict({n: torch.from_numpy(reader.reconstruct_tensor("ft", n)) for n in tuned},
                                    strict=False)
        got = logits_of(peft.PeftModel.from_pretrained(load(), str(tmp_path / "adapter")).eval())
        np.testing.assert_allclose(got, logits_of(rebuilt), rtol=1e-4, atol=1e-4)


class TestRefusals:
    def test_non_lowrank_records_are_named(self, library, tmp_path):
        out = tmp_path / "adapter"
        with pytest.raises(ValueError, match=r"model\.norm\.weight \(none\).*drop_non_lowrank=True"):
            export_lora(library, "normed", out)
        assert not out.exists()

    def test_sign_records_are_named(self, library, tmp_path):
        with pytest.raises(ValueError, match=r"q_proj\.weight \(sign\)"):
            export_lora(library, "signs", tmp_path / "adapter")
        with pytest.raises(ValueError, match="no low-rank record"):
            export_lora(library, "signs", tmp_path / "adapter", drop_non_lowrank=True)
        assert list(tmp_path.iterdir()) == []  # no temporary directory left behind

    @pytest.mark.parametrize("via_link", [False, True])
    def test_output_inside_the_library(self, library, tmp_path, via_link):
        root = library
        if via_link:
            root = tmp_path / "link"
            root.symlink_to(library, target_is_directory=True)
        with pytest.raises(ValueError, match="inside the library"):
            export_lora(library, "tt", root / "adapters" / "tt")
        assert not (library / "adapters").exists()

    def test_non_empty_output_is_kept(self, library, tmp_path):
        (tmp_path / "keep.txt").write_text("mine")
        with pytest.raises(FileExistsError, match="not empty"):
            export_lora(library, "tt", tmp_path)
        assert [p.name for p in tmp_path.iterdir()] == ["keep.txt"]
        (tmp_path / "file").write_text("x")
        with pytest.raises(FileExistsError, match="is a file"):
            export_lora(library, "tt", tmp_path / "file")

    def test_empty_output_directory_is_used(self, library, tmp_path):
        (tmp_path / "empty").mkdir()
        export_lora(library, "tt", tmp_path / "empty")
        assert sorted(p.name for p in (tmp_path / "empty").iterdir()) == [
            "adapter_config.json", "adapter_model.safetensors"]

    @pytest.mark.parametrize("args, exc", [(("nope",), KeyError), ((1,), TypeError)])
    def test_bad_arguments(self, library, tmp_path, args, exc):
        with pytest.raises(exc):
            export_lora(library, *args, tmp_path / "a")
        with pytest.raises(TypeError):
            export_lora(library, "tt", tmp_path / "a", drop_non_lowrank="yes")


class TestCommand:
    def run(self, *args):
        return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True, timeout=PATIENCE)

    def test_as_lora_and_drop(self, library, tmp_path):
        res = self.run("export", "--library", library, "--id", "normed", "--as-lora", tmp_path / "a")
        assert res.returncode == 1 and "model.norm.weight (none)" in res.stderr and "Traceback" not in res.stderr
        res = self.run("export", "--library", library, "--id", "normed", "--as-lora", tmp_path / "a",
                       "--drop-non-lowrank")
        assert res.returncode == 0, res.stderr
        assert "as a LoRA adapter" in res.stdout and "Left out (not low rank): model.norm.weight" in res.stdout
        assert (tmp_path / "a" / "adapter_model.safetensors").exists()

    @pytest.mark.parametrize("extra", [["--out", "x", "--as-lora", "y"], [], ["--out", "x", "--drop-non-lowrank"]])
    def test_usage_errors(self, library, tmp_path, extra):
        res = self.run("export", "--library", library, "--id", "tt", *extra)
        assert res.returncode == 2 and "Traceback" not in res.stderr
        assert not (tmp_path / "x").exists()
