"""Tiny, real causal language models built locally for tests (nothing reaches a model hub).

Everything here is deterministic for a given ``seed`` and takes well under a second or two.

API
---
``build_tiny_model(path, seed=0, **config) -> Path``
    Writes into ``path`` (created if needed) a Hugging Face style model directory that
    ``AutoTokenizer.from_pretrained`` and ``AutoModelForCausalLM.from_pretrained`` load:

    * a 2-layer Llama causal LM (hidden size 32, 4 heads / 2 key-value heads, intermediate 64,
      ``max_position_embeddings`` 2048) with random weights and **tied embeddings**, so the
      ``model.safetensors`` shard holds no ``lm_head.weight`` (as the hub checkpoints this
      package targets); keyword arguments override ``LlamaConfig`` fields;
    * a byte-level BPE tokenizer trained with the ``tokenizers`` library on ``CORPUS``
      (vocabulary ``VOCAB_SIZE``; any text tokenizes, nothing maps to unknown), wrapped as a
      ``PreTrainedTokenizerFast`` with ``BOS`` / ``EOS`` / ``PAD`` special tokens. It adds no
      special token when encoding (``tok("hi")`` gives only the text's tokens);
    * ``CHAT_TEMPLATE`` as the tokenizer's chat template, so
      ``tok.apply_chat_template(messages, add_generation_prompt=True, tokenize=False)`` works;
    * a generation config with the pad / bos / eos ids, so ``model.generate(ids,
      max_new_tokens=5, do_sample=False)`` runs greedily without warnings about a pad token.

    Returns ``Path(path)``.

``build_tiny_tokenizer(path) -> PreTrainedTokenizerFast``
    Builds the tokenizer alone and saves it into ``path``; returns it.

``build_tiny_adapter(base_dir, path, seed=0, r=4, target_modules=("q_proj", "v_proj")) -> Path``
    Writes a peft LoRA adapter for the model in ``base_dir`` into ``path`` (adapter_config.json +
    adapter_model.safetensors). Both LoRA matrices are random (``init_lora_weights=False``), so
    the adapter really changes the model's outputs; different seeds give different adapters.

The fixture ``tiny_model_dir`` in conftest.py builds one model per test session.
"""

from __future__ import annotations

from pathlib import Path

BOS = "<s>"
EOS = "</s>"
PAD = "<pad>"
SPECIAL_TOKENS = [PAD, BOS, EOS]  # ids 0, 1, 2
VOCAB_SIZE = 384

CHAT_TEMPLATE = (
    "{% for message in messages %}"
    "<|{{ message['role'] }}|>\n{{ message['content'] }}" + EOS + "\n"
    "{% endfor %}"
    "{% if add_generation_prompt %}<|assistant|>\n{% endif %}"
)

CORPUS = [
    "The quick brown fox jumps over the lazy dog.",
    "A model stores many fine-tunes of one base as compressed deltas.",
    "Weights are read from safetensors shards into numpy arrays.",
    "Perplexity measures how surprised a language model is by a text.",
    "The server answers chat completions for many adapters at once.",
    "Hello, how are you today? I am fine, thank you very much.",
    " = Valkyria Chronicles = \n Senjo no Valkyria is a tactical role-playing game .",
    "Numbers like 1024, 512 and 464 appear in windows of tokens.",
    "user assistant system: you are a helpful assistant.",
] * 4


def build_tiny_tokenizer(path):
    """Train a byte-level BPE on CORPUS, wrap and save it (with the chat template) into path."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers, trainers
    from transformers import PreTrainedTokenizerFast

    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    core = Tokenizer(models.BPE())
    core.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False)
    core.decoder = decoders.ByteLevel()
    trainer = trainers.BpeTrainer(
        vocab_size=VOCAB_SIZE,
        special_tokens=SPECIAL_TOKENS,
        initial_alphabet=pre_tokenizers.ByteLevel.alphabet(),
        show_progress=False,
    )
    core.train_from_iterator(CORPUS, trainer=trainer)
    tok = PreTrainedTokenizerFast(
        tokenizer_object=core, bos_token=BOS, eos_token=EOS, pad_token=PAD,
        model_max_length=2048,
    )
    tok.chat_template = CHAT_TEMPLATE
    tok.save_pretrained(str(path))
    return tok


def build_tiny_model(path, seed=0, **config):
    """Build and save a tiny tied-embedding Llama causal LM with its tokenizer into path."""
    import torch
    from transformers import GenerationConfig, LlamaConfig, LlamaForCausalLM

    path = Path(path)
    tok = build_tiny_tokenizer(path)
    fields = dict(
        vocab_size=len(tok),
        hidden_size=32,
        intermediate_size=64,
        num_hidden_layers=2,
        num_attention_heads=4,
        num_key_value_heads=2,
        max_position_embeddings=2048,
        tie_word_embeddings=True,
        bos_token_id=tok.bos_token_id,
        eos_token_id=tok.eos_token_id,
        pad_token_id=tok.pad_token_id,
    )
    fields.update(config)
    cfg = LlamaConfig(**fields)
    state = torch.random.get_rng_state()
    try:
        torch.manual_seed(seed)
        model = LlamaForCausalLM(cfg)
    finally:
        torch.random.set_rng_state(state)
    model.generation_config = GenerationConfig(
        bos_token_id=tok.bos_token_id, eos_token_id=tok.eos_token_id,
        pad_token_id=tok.pad_token_id, do_sample=False,
    )
    model.save_pretrained(str(path))
    return path


def build_tiny_adapter(base_dir, path, seed=0, r=4, target_modules=("q_proj", "v_proj")):
    """Save a random (non-identity) peft LoRA adapter for the model in base_dir into path."""
    import torch
    from peft import LoraConfig, get_peft_model
    from transformers import AutoModelForCausalLM

    path = Path(path)
    base = AutoModelForCausalLM.from_pretrained(str(base_dir), dtype=torch.float32)
    cfg = LoraConfig(r=r, lora_alpha=2 * r, target_modules=list(target_modules),
                     init_lora_weights=False, task_type="CAUSAL_LM")
    state = torch.random.get_rng_state()
    try:
        torch.manual_seed(seed)
        peft_model = get_peft_model(base, cfg)
    finally:
        torch.random.set_rng_state(state)
    peft_model.save_pretrained(str(path))
    return path
