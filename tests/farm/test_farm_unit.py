"""tweenova-farm's own logic without Slurm or root: frame lists and chunks,
how submit splits its arguments by tweenova-render's option table, the
records it writes, and submit, resubmit, run-chunk, verify and status against
stand-in sbatch, squeue and tweenova-render programs that record their
arguments and give canned answers."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from test_farm import FARM, RENDER, source_clip  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "farm"))
import tweenova_farm as farm  # noqa: E402

TABLE = "-h --help\tflag\n-F --frames\tvalue\n--set\tvalue\n--key\tvalue\n--gpu\tvalue\n--cpu\tflag\n" \
        "--threads\tvalue\n--summary-json\tvalue\n-q --quiet\tflag\n--skip-existing\tflag\n"

STAND_IN = """#!{python}
import json, os, sys
base = os.path.abspath(sys.argv[0])
with open(base + ".calls", "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\\n")
count = len(open(base + ".calls").read().splitlines())
for when, out, err, status in json.load(open(base + ".json")):
    if when is None or when in sys.argv[1:]:
        sys.stdout.write(out.replace("CALLS", str(count)))
        sys.stderr.write(err)
        sys.exit(status)
sys.exit("stand-in: no answer for " + " ".join(sys.argv[1:]))
"""


def stand_in(path, *answers):
    """A program at `path` that appends its arguments to PATH.calls (a JSON
    list a line) and answers as the first of `answers` (when, stdout, stderr,
    status) whose `when` is among its arguments (None: any) does; CALLS in
    stdout reads as how many calls it has had."""
    path.parent.mkdir(exist_ok=True)
    path.write_text(STAND_IN.format(python=sys.executable))
    path.chmod(0o755)
    pathlib.Path(f"{path}.json").write_text(json.dumps(answers))
    return path


def calls(path):
    file = pathlib.Path(f"{path}.calls")
    return [json.loads(line) for line in file.read_text().splitlines()] if file.exists() else []


class Farm:
    """tweenova-farm run in this process, with stand-in sbatch and squeue
    first on PATH and a stand-in tweenova-render (--render)."""

    def __init__(self, tmp_path, monkeypatch):
        self.tmp = tmp_path
        self.bin = tmp_path / "bin"
        monkeypatch.setenv("PATH", f"{self.bin}:{os.environ['PATH']}")
        monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
        for name in ("SLURM_ARRAY_TASK_ID", "SLURM_ARRAY_JOB_ID", "SLURM_CPUS_PER_TASK", "SLURM_CPUS_ON_NODE"):
            monkeypatch.delenv(name, raising=False)
        # Job ids from 101 on, as sbatch --parsable prints them on a federated cluster.
        self.sbatch = stand_in(self.bin / "sbatch", (None, "10CALLS;main\n", "", 0))
        self.queue("")
        self.render = self.render_with(missing=[])
        (tmp_path / "out").mkdir()
        self.output = f"{tmp_path}/out/o.####.png"

    def queue(self, text):
        """squeue's answer: lines of "%F %i %T %r"."""
        self.squeue = stand_in(self.bin / "squeue", (None, text, "", 0))

    def render_with(self, missing, frames=range(1, 13)):
        """tweenova-render: its option table, output frames `frames`, and `missing` missing."""
        listing = "# frame frame0 frame1 position timestep\n" + "".join(f"{f} 1 2 1.5 0.5\n" for f in frames)
        checked = "".join(f"missing {f} o.{f:04d}.png\n" for f in missing)
        self.render = stand_in(self.tmp / "render" / "tweenova-render", ("--option-table", TABLE, "", 0),
                               ("--list", listing, "", 0), ("--verify", checked, "", 1 if missing else 0),
                               ("--summary-json", "", "", 0))
        return self.render

    def __call__(self, capsys, *argv):
        """main's exit status, standard output and standard error."""
        capsys.readouterr()
        status = farm.main(list(argv), "test")
        out, err = capsys.readouterr()
        return status, out, err

    def submit(self, capsys, *options):
        status, out, err = self(capsys, "submit", "in.####.png", self.output, "--render", str(self.render), *options)
        assert status == 0, err
        return out

    def write_summary(self, job_dir, index, array, exit_status):
        (job_dir / "summaries" / f"chunk-{index}.{array}.json").write_text(
            json.dumps({"exit_status": exit_status, "frames_written": 5, "frames_failed": 0, "frames_skipped": 0,
                        "elapsed_seconds": 1.5, "peak_memory_mib": 300 + index}))


@pytest.fixture
def stand_ins(tmp_path, monkeypatch):
    return Farm(tmp_path, monkeypatch)


def test_frame_lists_and_chunks():
    assert farm.format_frames([]) == ""
    assert farm.format_frames([5]) == "5"
    assert farm.format_frames([1, 2, 3, 7, 9, 10]) == "1-3,7,9-10"
    assert farm.format_frames([-3, -2, -1, 0, 2]) == "-3-0,2"
    assert farm.format_frames([1, 3, 5]) == "1,3,5"
    frames = list(range(1, 23))
    chunks = farm.chunks_of(frames, 5)
    assert [farm.format_frames(c) for c in chunks] == ["1-5", "6-10", "11-15", "16-20", "21-22"]
    assert farm.chunks_of(frames, 30) == [frames]
    assert farm.chunks_of([4, 8, 9], 1) == [[4], [8], [9]]
    assert farm.frame_file("/a/o.%d.exr", 7) == "/a/o.7.exr"
    assert farm.frame_file("/a/o.%4d.exr", 7) == "/a/o.0007.exr"
    assert farm.frame_file("/a/still.exr", 7) == "/a/still.exr"
    assert farm.frame_file("/a/o.#.exr", 1234) == "/a/o.1234.exr"


def test_submit_splits_its_arguments_by_the_render_option_table(stand_ins):
    table = farm.option_table(str(stand_ins.render))

    def split(*arguments):
        own, rest = farm.split_own_options(list(arguments))
        return own, farm.split_render_options(rest, table)

    own, (frames, passed) = split("-F1-5", "--set", "speed=0.5", "--chunk=3", "--cpu", "--gpu=1", "--job-dir", "d")
    assert (own["chunk"], own["job_dir"], frames) == ("3", "d", "1-5")
    assert passed == ["--set", "speed=0.5", "--cpu", "--gpu", "1"]
    assert split("--frames=2-3")[1][0] == "2-3" and split("-F", "4")[1][0] == "4"
    assert split("-F", "-3--1")[1][0] == "-3--1"
    # What takes a value is the table's to say: a value that looks like an option is a value.
    assert split("--key", "-q")[1] == (None, ["--key", "-q"])
    # Options the table does not know go on as they are, for tweenova-render to judge.
    assert split("--bogus=3", "x")[1] == (None, ["--bogus=3", "x"])
    refused = [(["--threads", "2"], "--threads is set by tweenova-farm for every chunk"),
               (["--threads=2"], "--threads is set by tweenova-farm"),
               (["-q"], "-q is set by"), (["--quiet"], "--quiet is set by"),
               (["--summary-json=s.json"], "--summary-json is set by"),
               (["--cpu=1"], "--cpu takes no value"),
               (["--set"], "--set needs a value"), (["-F"], "-F needs a value"),
               (["--chunk"], "--chunk needs a value")]
    for arguments, message in refused:
        with pytest.raises(farm.UsageError, match=message):
            split(*arguments)


def test_parse_submit_reads_the_option_table_of_the_render_it_runs(stand_ins, tmp_path):
    render = str(stand_ins.render)
    source, output, own, passed = farm.parse_submit(["in.####.png", "o.####.png", "--render", render, "-F1-5",
                                                     "--gpus-per-task", "2", "--set", "speed=0.5"])
    assert (source, output) == (os.path.abspath("in.####.png"), os.path.abspath("o.####.png"))
    assert (own["render"], own["frames"], own["gpus_per_task"], own["chunk"]) == (render, "1-5", 2, 10)
    assert passed == ["--set", "speed=0.5"]
    assert calls(render) == [["--option-table"]]
    # Numbers are checked before tweenova-render is asked anything.
    for option, value in (("--chunk", "0"), ("--cpus-per-task", "x"), ("--gpus-per-task", "-1")):
        with pytest.raises(farm.UsageError, match=f"{option} {value}: expected a whole number of at least 1"):
            farm.parse_submit(["in", "out", option, value, "--render", render])
    assert len(calls(render)) == 1
    for arguments in ([], ["in"], ["-F", "in", "out"], ["in", "--chunk"]):
        with pytest.raises(farm.UsageError, match="submit needs INPUT and OUTPUT first"):
            farm.parse_submit(arguments)
    with pytest.raises(farm.UsageError, match="output o.MOV: a movie is written whole by one tweenova-render"):
        farm.parse_submit(["in.####.png", "o.MOV", "--render", render])

    # A tweenova-render without a readable table fails the submission, saying so.
    old = stand_in(tmp_path / "old" / "tweenova-render", (None, "", "tweenova-render: error: arguments : The "
                   "following argument was not expected: --option-table\n", 2))
    bad = stand_in(tmp_path / "bad" / "tweenova-render", (None, "-F --frames value\n", "", 0))
    failures = [(old, f"{old} --option-table gives no option table (tweenova-render: error: arguments : The "
                      f"following argument was not expected: --option-table): tweenova-farm needs a "
                      f"tweenova-render that lists its options"),
                (bad, f"{bad} --option-table: unreadable line '-F --frames value' (expected NAMES<tab>value|flag)"),
                (tmp_path / "none", f"cannot run {tmp_path}/none: No such file or directory")]
    for program, message in failures:
        with pytest.raises(farm.FarmError) as raised:
            farm.parse_submit(["in", "out", "--render", str(program)])
        assert str(raised.value) == message


def test_the_real_option_table_knows_every_option_the_farm_handles():
    table = farm.option_table(os.path.abspath(RENDER))
    assert table["-F"] and table["--frames"] and table["--set"] and table["--gpu"]
    assert table["--cpu"] is False and table["-q"] is False and table["--skip-existing"] is False
    assert farm.RESERVED <= set(table), sorted(farm.RESERVED - set(table))
    # The options run-chunk gives every chunk, with the values they take.
    assert table["--summary-json"] and table["--threads"] and not table["--progress-lines"]


def test_submit_resubmit_and_run_chunk_against_stand_in_slurm(stand_ins, capsys, tmp_path, monkeypatch):
    job_dir = tmp_path / "job"
    out = stand_ins.submit(capsys, "--chunk", "5", "--partition", "gpu", "--gpus-per-task", "1",
                           "--cpus-per-task", "2", "--set", "speed=0.5", "--job-dir", str(job_dir))
    assert out == (f"tweenova-farm: submitted job 101: 12 frames (1-12) in 3 chunks of up to 5; verify job 102; "
                   f"job folder {job_dir}\n")
    assert calls(stand_ins.render) == [["--option-table"], [os.path.abspath("in.####.png"), "--list", "--set",
                                                            "speed=0.5"]]
    program = f"{sys.executable} {os.path.dirname(os.path.realpath(farm.__file__))}/tweenova-farm"
    array, verify = calls(stand_ins.sbatch)
    assert array == ["--parsable", "--array=0,1,2", "--job-name=tweenova:o.####.png",
                     f"--output={job_dir}/logs/chunk-%a.log", "--open-mode=append", "--gpus-per-task=1",
                     "--cpus-per-task=2", "--partition=gpu", f"--wrap={program} run-chunk {job_dir}"]
    assert verify == ["--parsable", "--dependency=afterany:101", "--job-name=tweenova-verify:o.####.png",
                      f"--output={job_dir}/logs/verify-%j.log", "--partition=gpu", f"--wrap={program} verify {job_dir}"]
    record = json.loads((job_dir / "job.json").read_text())
    assert record["chunks"] == [[1, 2, 3, 4, 5], [6, 7, 8, 9, 10], [11, 12]]
    assert record["render_args"] == ["--set", "speed=0.5"] and record["render"] == str(stand_ins.render)
    assert [(s["array_job"], s["verify_job"], s["chunks"]) for s in record["submissions"]] == [(101, 102, [0, 1, 2])]
    for job in ("101", "102"):
        assert os.readlink(tmp_path / "state" / "tweenova-farm" / "jobs" / job) == str(job_dir)

    # Each array task renders its chunk and writes its summary under its array job.
    def run_chunk(*arguments, **environment):
        program = "import sys, tweenova_farm; sys.exit(tweenova_farm.main(sys.argv[1:], 'test'))"
        environment = {**os.environ, **environment, "PYTHONPATH": os.path.dirname(farm.__file__)}
        done = subprocess.run([sys.executable, "-c", program, "run-chunk", str(job_dir), *arguments],
                              env=environment, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        return calls(stand_ins.render)[-1]
    rendered = run_chunk(SLURM_ARRAY_JOB_ID="101", SLURM_ARRAY_TASK_ID="1", SLURM_CPUS_PER_TASK="2")
    assert rendered == [os.path.abspath("in.####.png"), stand_ins.output, "--set", "speed=0.5", "-F", "6-10",
                        "--skip-existing", "-q", "--progress-lines", "--summary-json",
                        f"{job_dir}/summaries/chunk-1.101.json", "--threads", "2"]

    # resubmit refuses while a task is queued, then submits only the chunk that misses frames.
    stand_ins.queue("101 101_2 RUNNING None\n102 102 PENDING Dependency\n")
    status, _, err = stand_ins(capsys, "resubmit", "101")
    assert status == 2 and err == ("tweenova-farm: error: the job still has tasks in the queue (101_2 RUNNING, "
                                   "102 PENDING): let them end, or scancel them, first\n")
    stand_ins.queue("")
    stand_ins.render_with(missing=[7, 8])
    status, out, _ = stand_ins(capsys, "resubmit", "102")
    assert (status, out) == (0, "tweenova-farm: submitted job 103: chunks 1 for the 2 missing frames (7-8); "
                                "verify job 104\n")
    assert calls(stand_ins.sbatch)[2][1] == "--array=1"
    # Outside an array task, INDEX renders for the chunk's latest submission.
    assert run_chunk("1")[10] == f"{job_dir}/summaries/chunk-1.103.json"
    assert run_chunk("0")[10] == f"{job_dir}/summaries/chunk-0.101.json"
    # Without a chunk missing, nothing is submitted.
    stand_ins.render_with(missing=[])
    status, out, _ = stand_ins(capsys, "resubmit", str(job_dir))
    assert (status, out) == (0, "tweenova-farm: all 12 frames are written; nothing to resubmit\n")
    assert len(calls(stand_ins.sbatch)) == 4


def test_status_says_what_each_chunk_did_and_why_slurm_cannot_start_one(stand_ins, capsys, tmp_path):
    job_dir = tmp_path / "job"
    logs = job_dir / "logs"
    logs.mkdir(parents=True)
    # What earlier attempts left in the logs is not this submission's.
    (logs / "chunk-4.log").write_text("tweenova-farm: chunk 4 on n1: an earlier attempt\n")
    (logs / "chunk-5.log").write_text("tweenova-render: 2 frames written\n")
    stand_ins.render_with(missing=[], frames=range(1, 13))
    stand_ins.submit(capsys, "--chunk", "2", "--job-dir", str(job_dir))
    for frame in (1, 2, 3, 5):
        pathlib.Path(farm.frame_file(stand_ins.output, frame)).write_text("")
    stand_ins.write_summary(job_dir, 0, 101, 0)
    stand_ins.write_summary(job_dir, 3, 101, 143)
    with open(logs / "chunk-4.log", "a") as log:
        log.write("tweenova-farm: chunk 4 on n2: ...\n\nslurmstepd: error: execve(): python3: No such file\n\n")
    stand_ins.queue("101 101_1 RUNNING None\n"
                    "101 101_2 PENDING ReqNodeNotAvail, UnavailableNodes:n[1-2]\n"
                    "77 77_2 RUNNING None\n"
                    "102 102 PENDING Dependency\n")
    status, out, _ = stand_ins(capsys, "status", "101")
    assert status == 0
    assert out.splitlines() == [
        f"{job_dir}: 4 of 12 frames on disk (33%)",
        "  chunk 0    frames 1-2                 2/2 on disk  done",
        "  chunk 1    frames 3-4                 1/2 on disk  RUNNING",
        "  chunk 2    frames 5-6                 1/2 on disk  PENDING (ReqNodeNotAvail, UnavailableNodes:n[1-2]): "
        "Slurm will not start it: the nodes it needs are down, drained or reserved",
        "  chunk 3    frames 7-8                 0/2 on disk  ended with exit status 143",
        "  chunk 4    frames 9-10                0/2 on disk  left the queue without a summary; logs/chunk-4.log "
        "ends: slurmstepd: error: execve(): python3: No such file",
        "  chunk 5    frames 11-12               0/2 on disk  left the queue without a summary or a line in "
        "logs/chunk-5.log (does its node see the job folder?)",
        "  verify job 102: PENDING (Dependency)"]

    # A pending task that waits its turn says why, and no more.
    stand_ins.queue("101 101_1 PENDING Priority\n101 101_2 PENDING PartitionDown\n102 102 PENDING Dependency\n")
    lines = stand_ins(capsys, "status", str(job_dir))[1].splitlines()
    assert lines[2].endswith("1/2 on disk  PENDING (Priority)"), lines[2]
    assert lines[3].endswith("PENDING (PartitionDown): Slurm will not start it: its partition is down"), lines[3]
    # A verify job that left the queue without writing summary.json: its log says why.
    stand_ins.queue("")
    (logs / "verify-102.log").write_text("tweenova-farm: error: cannot run /x/tweenova-render: No such file\n")
    lines = stand_ins(capsys, "status", str(job_dir))[1].splitlines()
    assert lines[-1] == ("  verify job 102: left the queue without writing summary.json; logs/verify-102.log ends: "
                         "tweenova-farm: error: cannot run /x/tweenova-render: No such file")
    assert lines[2].endswith("left the queue without a summary or a line in logs/chunk-1.log (does its node see the "
                             "job folder?)"), lines[2]
    # An array whose verify job sbatch refused: submit fails, and status says the verify job never was.
    stand_in(stand_ins.bin / "sbatch", ("--dependency=afterany:103", "", "sbatch: error: invalid dependency\n", 1),
             (None, "10CALLS\n", "", 0))
    status, _, err = stand_ins(capsys, "submit", "in.####.png", stand_ins.output, "--render", str(stand_ins.render),
                               "--job-dir", str(tmp_path / "half"))
    assert (status, err) == (1, "tweenova-farm: error: sbatch failed: sbatch: error: invalid dependency\n")
    lines = stand_ins(capsys, "status", "103")[1].splitlines()
    assert lines[1].endswith("left the queue without a summary or a line in logs/chunk-0.log (does its node see the "
                             "job folder?)") and lines[-1] == "  verify job: never submitted (sbatch failed)", lines


def test_a_job_folder_used_again_shows_nothing_of_the_earlier_job(stand_ins, capsys, tmp_path):
    job_dir = tmp_path / "job"
    stand_ins.submit(capsys, "--chunk", "6", "--job-dir", str(job_dir))
    for index in (0, 1):
        stand_ins.write_summary(job_dir, index, 101, 0)
        with open(job_dir / "logs" / f"chunk-{index}.log", "a") as log:
            log.write(f"tweenova-farm: chunk {index} on n1: ...\n")
    for frame in range(1, 13):
        pathlib.Path(farm.frame_file(stand_ins.output, frame)).write_text("")
    assert stand_ins(capsys, "verify", str(job_dir))[:2] == (0, "tweenova-farm: all 12 frames written and readable\n")
    summary = json.loads((job_dir / "summary.json").read_text())
    assert summary["verify_job"] == 102 and summary["complete"]
    assert [c["summary"] for c in summary["chunks"]] == [f"{job_dir}/summaries/chunk-{i}.101.json" for i in (0, 1)]
    assert [c["peak_memory_mib"] for c in summary["chunks"]] == [300, 301] and summary["peak_memory_mib"] == 301
    first = stand_ins(capsys, "status", str(job_dir))[1].splitlines()
    assert [line[-4:] for line in first[1:3]] == ["done", "done"] and first[3] == "  verify job 102: complete"

    # The same folder for a new job: its chunks and verify job have written nothing yet.
    for frame in range(1, 13):
        os.remove(farm.frame_file(stand_ins.output, frame))
    stand_ins.submit(capsys, "--chunk", "6", "--job-dir", str(job_dir))
    lines = stand_ins(capsys, "status", str(job_dir))[1].splitlines()
    assert lines[1:] == [
        "  chunk 0    frames 1-6                 0/6 on disk  left the queue without a summary or a line in "
        "logs/chunk-0.log (does its node see the job folder?)",
        "  chunk 1    frames 7-12                0/6 on disk  left the queue without a summary or a line in "
        "logs/chunk-1.log (does its node see the job folder?)",
        "  verify job 104: left the queue without writing summary.json or a line in logs/verify-104.log (does its "
        "node see the job folder?)"]
    # The earlier job's ids no longer lead to the folder's new job.
    status, _, err = stand_ins(capsys, "status", "101")
    assert status == 2 and err == (f"tweenova-farm: error: job 101's folder {job_dir} holds a later job now (a submit "
                                   f"--job-dir used it again)\n")
    assert stand_ins(capsys, "status", "103")[0] == 0


def test_a_record_is_written_whole_and_never_through_a_link(tmp_path, monkeypatch):
    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    folder = tmp_path / "job"
    folder.mkdir()
    record = folder / "job.json"
    record.symlink_to(victim)
    # A link planted at the name the temporary file draws first: that name is passed over.
    planted = folder / ".job.json.planted.tmp"
    planted.symlink_to(victim)
    names = iter(["planted", "fresh"])
    monkeypatch.setattr(tempfile, "_get_candidate_names", lambda: names)
    farm.write_json(str(record), {"chunks": [[1, 2]]})
    assert victim.read_text() == "precious\n"
    assert not record.is_symlink() and json.loads(record.read_text()) == {"chunks": [[1, 2]]}
    assert (record.stat().st_mode & 0o777) == 0o666 & ~farm.current_umask()
    assert sorted(os.listdir(folder)) == [".job.json.planted.tmp", "job.json"]
    # A record that cannot be written whole leaves the earlier one and no temporary file.
    monkeypatch.undo()
    with pytest.raises(TypeError):
        farm.write_json(str(record), {"chunks": [[1, 2]], "bad": object()})
    assert json.loads(record.read_text()) == {"chunks": [[1, 2]]}
    assert sorted(os.listdir(folder)) == [".job.json.planted.tmp", "job.json"]


def test_any_allocation_and_any_path(tmp_path, monkeypatch):
    # More CPUs than tweenova-render takes side by side render with as many as it takes.
    monkeypatch.setenv("SLURM_CPUS_PER_TASK", "256")
    assert farm.allocated_cpus() == "64"
    monkeypatch.setenv("SLURM_CPUS_PER_TASK", "12")
    assert farm.allocated_cpus() == "12"
    # -F1-5 is one frame list, not a render option passed on beside the chunk's own -F.
    _, _, own, passed = farm.parse_submit(["in.####.png", "out.####.png", "-F1-5", "--set", "speed=0.5",
                                           "--render", os.path.abspath(RENDER)])
    assert own["frames"] == "1-5" and passed == ["--set", "speed=0.5"], (own, passed)
    # Placeholders live in the file name: a folder may hold % or #.
    assert farm.frame_file("/show/50%/o.####.exr", 7) == "/show/50%/o.0007.exr"
    assert farm.frame_file("/show/#1/o.%04d.exr", 12) == "/show/#1/o.0012.exr"
    assert farm.frame_file("/a/o.####.exr", -3) == "/a/o.-003.exr"
    # sbatch reads --output as a pattern: a % in the job folder reaches it as %%.
    source = source_clip(tmp_path / "src", 3, 64, 36)
    tools = tmp_path / "bin"
    tools.mkdir()
    calls = tmp_path / "sbatch-calls.txt"
    (tools / "sbatch").write_text(f"#!/bin/sh\nprintf '%s\\n' \"$@\" >> {calls}\necho 7\n")
    (tools / "sbatch").chmod(0o755)
    job_dir = tmp_path / "at 50%"
    env = {**os.environ, "XDG_STATE_HOME": str(tmp_path / "state"), "PATH": f"{tools}:{os.environ['PATH']}"}
    done = subprocess.run([FARM, "submit", source, f"{tmp_path}/o.####.png", "-F1-2", "--job-dir", str(job_dir)],
                          env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    outputs = [line for line in calls.read_text().splitlines() if line.startswith("--output=")]
    assert outputs == [f"--output={tmp_path}/at 50%%/logs/chunk-%a.log",
                       f"--output={tmp_path}/at 50%%/logs/verify-%j.log"], outputs
    record = json.loads((job_dir / "job.json").read_text())
    assert record["chunks"] == [[1, 2]], record["chunks"]
