"""tweenova-farm on a real one-node Slurm cluster: chunks rendered as a job
array equal a local render bit for bit, a cancelled chunk is resubmitted
alone and renders only its missing frames, the verify job fails when a
frame is missing, and status says why Slurm keeps a chunk pending or why it
ended without a summary. Without Slurm or root these tests are skipped."""

import json
import os
import shutil
import subprocess
import tempfile
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from slurm_cluster import SlurmCluster, missing_programs, wait_until  # noqa: E402

BUILD = os.environ.get("TWEENOVA_BUILD_DIR", "build")
FARM = os.path.join(BUILD, "tweenova-farm")
RENDER = os.path.join(BUILD, "tweenova-render")
CLIP = "/usr/share/doc/opencv-doc/examples/data/Megamind.avi"


@pytest.fixture(scope="module")
def cluster():
    missing = missing_programs()
    if missing:
        pytest.skip(f"Slurm is not installed ({', '.join(missing)} missing): scripts/setup installs it")
    if os.geteuid() != 0:
        pytest.skip("the test cluster runs its daemons as root: run the farm tests as root")
    # munged wants every folder above its socket searchable by all: not pytest's.
    folder = tempfile.mkdtemp(prefix="tweenova-slurm-")
    c = SlurmCluster(folder)
    try:
        c.start()
        yield c
    finally:
        c.stop()
        shutil.rmtree(folder)


@pytest.fixture
def env(cluster, tmp_path):
    # Job ids restart at 1 with every cluster: keep each test's record of them apart.
    return {**cluster.environment(), "XDG_STATE_HOME": str(tmp_path / "state")}


def source_clip(folder, frames, width, height):
    """`frames` frames of a real clip, as a PNG sequence."""
    os.makedirs(folder)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", CLIP, "-vf",
                    f"select=between(n\\,60\\,{59 + frames}),scale={width}:{height}", "-fps_mode", "passthrough",
                    "-start_number", "1", f"{folder}/m.%04d.png"], check=True)
    return f"{folder}/m.####.png"


def local_render(source, folder, *options):
    os.makedirs(folder)
    subprocess.run([RENDER, source, f"{folder}/m.####.png", "-q", *options], check=True)
    return {name: open(os.path.join(folder, name), "rb").read() for name in os.listdir(folder)}


def farm(env, *arguments, check=True):
    done = subprocess.run([FARM, *arguments], env=env, capture_output=True, text=True)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def submitted(done):
    """The array job, the verify job and the job folder that submit or resubmit printed."""
    words = done.stdout.split()
    array = int(words[words.index("job") + 1].rstrip(":"))
    verify = int(words[words.index("verify") + 2].rstrip(";"))
    return array, verify


def outputs(folder):
    return {n: open(os.path.join(folder, n), "rb").read() for n in os.listdir(folder) if n.endswith(".png")}


def test_chunks_equal_a_local_render_and_verify_fails_on_a_deleted_frame(cluster, env, tmp_path):
    source = source_clip(tmp_path / "src", 12, 160, 90)
    expected = local_render(source, tmp_path / "local")
    out = tmp_path / "farm"
    os.makedirs(out)
    job_dir = tmp_path / "job"
    done = farm(env, "submit", source, f"{out}/m.####.png", "--chunk", "5", "--job-dir", str(job_dir))
    array, verify = submitted(done)
    cluster.wait_for_empty_queue()

    assert cluster.job_state(verify) == ("COMPLETED", "0:0")
    assert outputs(out) == expected
    for index in range(5):
        assert os.path.getsize(job_dir / "logs" / f"chunk-{index}.log") > 0
    summary = json.load(open(job_dir / "summary.json"))
    assert summary["complete"] and summary["frames"] == 22
    assert [c["frames"] for c in summary["chunks"]] == ["1-5", "6-10", "11-15", "16-20", "21-22"]
    assert sum(c["frames_written"] for c in summary["chunks"]) == 22
    assert "22 of 22 frames on disk" in farm(env, "status", str(array)).stdout

    # The verify job, as Slurm runs it, fails naming the missing frame.
    os.remove(out / "m.0007.png")
    check = cluster.run("sbatch", "--wait", f"--output={tmp_path}/verify.log",
                        f"--wrap={sys.executable} {FARM} verify {job_dir}", check=False)
    assert check.returncode != 0
    assert "1 of 22 frames missing or unreadable: 7" in open(tmp_path / "verify.log").read()
    assert json.load(open(job_dir / "summary.json"))["missing"] == "7"
    # Nothing but that frame is resubmitted.
    again = farm(env, "resubmit", str(job_dir))
    assert "chunks 1 for the 1 missing frames (7)" in again.stdout
    cluster.wait_for_empty_queue()
    assert outputs(out) == expected


def test_a_cancelled_chunk_is_resubmitted_alone_and_renders_only_its_missing_frames(cluster, env, tmp_path):
    # Frames large enough that a chunk runs for seconds on one CPU.
    source = source_clip(tmp_path / "src", 8, 1280, 720)
    out = tmp_path / "farm"
    os.makedirs(out)
    job_dir = tmp_path / "job"
    done = farm(env, "submit", source, f"{out}/m.####.png", "--chunk", "5", "--cpus-per-task", "1",
                "--job-dir", str(job_dir))
    array, verify = submitted(done)
    # Cancel chunk 1 (frames 6-10) once it has written its first frame.
    wait_until(lambda: any(os.path.exists(out / f"m.{f:04d}.png") for f in range(6, 11)), 120,
               "chunk 1 writing a frame")
    assert cluster.queue().get(f"{array}_1") == "RUNNING"
    cluster.run("scancel", f"{array}_1")
    cluster.wait_for_empty_queue()
    assert cluster.job_state(verify)[0] == "FAILED"
    status = farm(env, "status", str(job_dir)).stdout
    assert "ended with exit status 143" in status, status

    before = {n: os.stat(out / n) for n in os.listdir(out) if n.endswith(".png")}
    missing = sorted({f"m.{f:04d}.png" for f in range(1, 15)} - set(before))
    assert missing and all(6 <= int(n[2:6]) <= 10 for n in missing), missing
    again = farm(env, "resubmit", str(array))
    assert "chunks 1 for" in again.stdout, again.stdout
    again_array, verify = submitted(again)
    cluster.wait_for_empty_queue()
    assert cluster.job_state(verify) == ("COMPLETED", "0:0")

    # The frames written before are untouched; the rest equals a local render.
    for name, st in before.items():
        now = os.stat(out / name)
        assert (now.st_ino, now.st_mtime_ns) == (st.st_ino, st.st_mtime_ns), name
    # Both attempts of the chunk are in its log.
    assert open(job_dir / "logs" / "chunk-1.log").read().count("tweenova-farm: chunk 1 on ") == 2
    chunk = json.load(open(job_dir / "summaries" / f"chunk-1.{again_array}.json"))
    assert chunk["frames_written"] == len(missing) and chunk["frames_skipped"] == 5 - len(missing)
    assert outputs(out) == local_render(source, tmp_path / "local")


def test_bad_arguments_give_one_line_and_status_two(tmp_path):
    source = source_clip(tmp_path / "src", 3, 64, 36)
    cases = [
        ([], "Usage"),
        (["bogus"], "unknown command 'bogus'"),
        (["submit", source], "submit needs INPUT and OUTPUT first"),
        (["submit", source, f"{tmp_path}/o.####.png", "--chunk", "0"], "--chunk 0: expected a whole number"),
        (["submit", source, f"{tmp_path}/o.####.png", "--chunk"], "--chunk needs a value"),
        (["submit", source, f"{tmp_path}/o.####.png", "--threads", "2"], "--threads is set by tweenova-farm"),
        (["submit", source, f"{tmp_path}/o.####.png", "--set", "speed=nope"], "speed"),
        (["submit", source, f"{tmp_path}/o.####.png", "-F", "5-1"], "the last frame comes before the first"),
        (["submit", source, f"{tmp_path}/none/o.####.png"], f"the folder {tmp_path}/none does not exist"),
        (["status", "4242"], "job 4242 was not submitted by tweenova-farm"),
        (["resubmit", str(tmp_path)], "neither a job folder"),
    ]
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path / "state")}
    for arguments, message in cases:
        done = subprocess.run([FARM, *arguments], env=env, capture_output=True, text=True)
        assert done.returncode == 2, (arguments, done.stderr)
        lines = (done.stderr if arguments else done.stdout).strip().splitlines()
        assert message in lines[0], (arguments, lines)
        if arguments:
            assert len(lines) == 1, (arguments, lines)
    # Without Slurm's commands the submission says so, after checking its arguments.
    done = subprocess.run([sys.executable, FARM, "submit", source, f"{tmp_path}/o.####.png"],
                          env={**env, "PATH": "/nonexistent"}, capture_output=True, text=True)
    assert done.returncode == 1 and "sbatch not found" in done.stderr, done.stderr
    # A refused submission leaves a job folder that status describes and resubmit can submit.
    tools = tmp_path / "bin"
    tools.mkdir()
    (tools / "sbatch").write_text("#!/bin/sh\necho 'sbatch: error: invalid partition specified: none' >&2\nexit 1\n")
    (tools / "sbatch").chmod(0o755)
    refused = {**env, "PATH": f"{tools}:{os.environ['PATH']}"}
    job_dir = tmp_path / "refused"
    done = farm(refused, "submit", source, f"{tmp_path}/o.####.png", "--job-dir", str(job_dir), check=False)
    assert done.returncode == 1 and "invalid partition specified" in done.stderr, done.stderr
    done = farm(refused, "status", str(job_dir))
    assert "never submitted" in done.stdout and f"resubmit {job_dir}" in done.stdout, done.stdout


def test_records_are_never_written_through_planted_links(tmp_path):
    """A job folder on shared storage may hold links that another user
    planted where the farm's temporary files used to be named (NAME.<pid>.tmp)
    and at the record itself: the record is written, no file outside the
    folder changes, and no temporary file is left."""
    source = source_clip(tmp_path / "src", 3, 64, 36)
    tools = tmp_path / "bin"
    tools.mkdir()
    (tools / "sbatch").write_text("#!/bin/sh\necho 'sbatch: error: invalid partition specified: none' >&2\nexit 1\n")
    (tools / "sbatch").chmod(0o755)
    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    job_dir = tmp_path / "job"
    job_dir.mkdir()
    (job_dir / "job.json").symlink_to(victim)
    # The program keeps the planting process's id across exec, so the links
    # sit at the names a pid-based temporary file would take.
    plant = ("import os, sys\n"
             f"os.symlink({str(victim)!r}, os.path.join({str(job_dir)!r}, 'job.json.%d.tmp' % os.getpid()))\n"
             f"os.execv(sys.executable, [sys.executable, {FARM!r}] + sys.argv[1:])\n")
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path / "state"), "PATH": f"{tools}:{os.environ['PATH']}"}
    done = subprocess.run([sys.executable, "-c", plant, "submit", source, f"{tmp_path}/o.####.png",
                           "--job-dir", str(job_dir)], env=env, capture_output=True, text=True)
    assert done.returncode == 1 and "invalid partition specified" in done.stderr, done.stderr
    assert victim.read_text() == "precious\n"
    record = job_dir / "job.json"
    assert not record.is_symlink() and json.loads(record.read_text())["input"] == source
    left = [n for n in os.listdir(job_dir) if n.endswith(".tmp") and not os.path.islink(job_dir / n)]
    assert left == [], left


def test_status_says_why_slurm_cannot_start_or_run_a_chunk(cluster, env, tmp_path):
    source = source_clip(tmp_path / "src", 3, 64, 36)
    out = tmp_path / "farm"
    os.makedirs(out)
    job_dir = tmp_path / "job"
    # A tweenova-render that is gone once the tasks start: the program cannot start on the node.
    render = tmp_path / "bin" / "tweenova-render"
    os.makedirs(render.parent)
    render.symlink_to(os.path.abspath(RENDER))
    done = farm(env, "submit", source, f"{out}/m.####.png", "--chunk", "3", "--partition", "closed",
                "--render", str(render), "--job-dir", str(job_dir))
    array, verify = submitted(done)
    never = "PENDING (PartitionDown): Slurm will not start it: its partition is down"

    def chunks_stuck():
        return farm(env, "status", str(array)).stdout.count(never) == 2
    wait_until(chunks_stuck, 60, "status naming the partition that keeps the chunks pending")

    render.unlink()
    cluster.run("scontrol", "update", "PartitionName=closed", "State=UP")
    cluster.wait_for_empty_queue()
    lines = farm(env, "status", str(job_dir)).stdout.splitlines()
    assert len(lines) == 4, lines
    for index, line in enumerate(lines[1:3]):
        assert line.endswith(f"left the queue without a summary; logs/chunk-{index}.log ends: tweenova-farm: "
                             f"error: cannot start {render} on {os.uname().nodename}: No such file or directory"), line
    assert lines[3] == (f"  verify job {verify}: left the queue without writing summary.json; logs/verify-{verify}.log "
                        f"ends: tweenova-farm: error: cannot run {render}: No such file or directory"), lines[3]
