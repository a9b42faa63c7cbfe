"""The installed layout: the programs in bin/ find the plug-in folder, its
model library and the host layer on their own, and render what the build
does; man pages, completions and the job template are installed."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "farm"))
from test_farm import BUILD, local_render, outputs, source_clip  # noqa: E402


def test_the_installed_programs_render_as_the_build_does(tmp_path):
    prefix = tmp_path / "prefix"
    # Without the libtorch and CUDA libraries (gigabytes): the build's libtorch stands in for them.
    subprocess.run(["cmake", "--install", BUILD, "--prefix", str(prefix), "--component", "Tweenova"], check=True,
                   capture_output=True)
    plugins = prefix / "lib" / "tweenova"
    assert sorted(os.listdir(plugins)) == ["Tweenova.so", "TweenovaModels.so", "libDDImage.so", "libTweenovaHost.so", "ocio"]
    assert (plugins / "ocio" / "config.ocio").is_file()
    for page in ("tweenova-render.1", "tweenova-farm.1"):
        text = (prefix / "share" / "man" / "man1" / page).read_text()
        assert ".SH NAME" in text and "\\-\\-help" in text, page
    for name in ("tweenova-render", "tweenova-farm"):
        assert (prefix / "share" / "bash-completion" / "completions" / name).is_file()
    assert (prefix / "share" / "doc" / "tweenova" / "openjd" / "tweenova-render.yaml").is_file()

    env = {**os.environ, "LD_LIBRARY_PATH": os.environ["TWEENOVA_TORCH_LIBRARY_DIR"]}
    source = source_clip(tmp_path / "src", 4, 96, 54)
    os.makedirs(tmp_path / "out")
    subprocess.run([str(prefix / "bin" / "tweenova-render"), source, f"{tmp_path}/out/m.####.png", "-q"], env=env,
                   check=True)
    assert outputs(tmp_path / "out") == local_render(source, tmp_path / "local")
    farm = subprocess.run([str(prefix / "bin" / "tweenova-farm"), "--version"], capture_output=True, text=True)
    assert farm.stdout.startswith("tweenova-farm ")
