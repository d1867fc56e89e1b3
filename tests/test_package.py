import subprocess
import sys


def test_package_import_is_light():
    # Importing the package and its storage-side modules pulls in no heavy optional library.
    code = (
        "import sys, velkor_zuma, velkor_zuma.lowrank\n"
        "heavy = {'torch', 'transformers', 'peft', 'safetensors', 'gguf', 'fastapi', 'uvicorn', 'datasets'}\n"
        "print(sorted(heavy & set(sys.modules)))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
