"""tweenova-farm: renders a retime on a Slurm cluster, in chunks of frames.

  submit INPUT OUTPUT [render options]   split the output frames into chunks and
                                         submit them as a job array, then a
                                         verify job once every chunk has ended
  status JOB                             frames on disk, and each chunk's state
  resubmit JOB                           submit again only the chunks that miss frames
  verify JOB                             check every output frame and write the
                                         job's summary (what the verify job runs)
  run-chunk JOB [INDEX]                  render one chunk (what each array task runs)

JOB is a job folder, or the Slurm job id that submit or resubmit printed.

The program is this module; the tweenova-farm beside it starts main(). A job
folder holds job.json (the chunks and every submission of them),
logs/chunk-N.log (every attempt of chunk N, appended), logs/verify-V.log,
summaries/chunk-N.A.json (what array job A's task of chunk N rendered) and
summary.json (what the latest verify found).
"""

import contextlib
import datetime
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

PROGRAM = "tweenova-farm"
EXIT_USAGE = 2
# The program is installed beside this module, and so is the tweenova-render it runs by default.
HERE = os.path.dirname(os.path.realpath(__file__))

USAGE = f"""Usage: {PROGRAM} submit INPUT OUTPUT [render options] [--chunk N] [--partition P]
                     [--gpus-per-task G] [--cpus-per-task C] [--job-dir DIR] [--render PROGRAM]
       {PROGRAM} status JOB
       {PROGRAM} resubmit JOB
       {PROGRAM} verify JOB
       {PROGRAM} run-chunk JOB [INDEX]
       {PROGRAM} --help | --version

Renders a retime on a Slurm cluster. submit lists the output frames with
tweenova-render --list (-F chooses some), splits them into chunks of N frames
(--chunk, default 10) and submits a job array (sbatch --array): each task runs
tweenova-render -F <its chunk> --skip-existing, with as many frames side by side
as the CPUs Slurm gave it (SLURM_CPUS_PER_TASK), on the GPU Slurm gave it
(--gpus-per-task; without it, on the CPU), and writes a log and a JSON summary
of its own. A final job (afterany) checks that every output frame exists and
reads, writes the job's summary.json, and fails listing any missing frame.

Options of submit (the others go to tweenova-render as they are):
  --chunk N             output frames per array task (default 10)
  --partition P         Slurm partition of every job
  --gpus-per-task G     GPUs per array task (default 0: render on the CPU)
  --cpus-per-task C     CPUs per array task (default: Slurm's, usually 1)
  --job-dir DIR         folder of the job's record, logs and summaries (default:
                        OUTPUT's folder/tweenova-farm/<date>-<time>-<pid>); on
                        storage every node of the cluster sees
  --render PROGRAM      tweenova-render to run (default: the one beside
                        {PROGRAM}, else the one on PATH)

status JOB prints the frames on disk and, for each chunk, its state in the
queue (with the reason a pending task waits, and why Slurm cannot start it
where it never will by itself) or the exit status its summary recorded, or,
for a task that left the queue without a summary, the last line of its log.
resubmit JOB checks every output frame and submits again only the chunks
whose frames are missing or unreadable, with a new verify job; it refuses
while the job still has tasks in the queue.

Exit status: 0 success; 1 frames missing (verify), or a Slurm command or a
render failed; 2 bad arguments.
"""

# Options of tweenova-render that the farm sets for every chunk itself.
RESERVED = {"--skip-existing", "--progress-lines", "--summary-json", "--threads", "--verify", "--list",
            "--panel", "--version", "-q", "--quiet", "-h", "--help"}
# submit's own options (each takes a value) and their defaults.
OWN_OPTIONS = {"--chunk": "10", "--partition": None, "--gpus-per-task": "0", "--cpus-per-task": None,
               "--job-dir": None, "--render": None}
# Reasons (squeue's %r, up to its first comma) for which a pending task waits
# until someone changes the cluster or the job: Slurm will not start it by itself.
NEVER_STARTS = {
    "BadConstraints": "no node has what it asks for",
    "PartitionDown": "its partition is down",
    "PartitionInactive": "its partition is inactive",
    "PartitionNodeLimit": "it asks for more nodes than its partition allows",
    "PartitionTimeLimit": "it asks for more time than its partition allows",
    "ReqNodeNotAvail": "the nodes it needs are down, drained or reserved",
    "NodeDown": "a node it needs is down",
    "InvalidAccount": "its account is invalid",
    "InvalidQOS": "its QOS is invalid",
    "DependencyNeverSatisfied": "the job it waits for can never satisfy its dependency",
    "JobHeldUser": "it is held (scontrol release lets it start)",
    "JobHeldAdmin": "an administrator holds it",
    "launch failed requeued held": "its launch failed, and Slurm holds it",
}
LOG_TAIL_BYTES = 65536  # how much of a log's end status reads for its last line


class UsageError(Exception):
    pass


class FarmError(Exception):
    pass


# ---------------------------------------------------------------- frame lists

def format_frames(frames):
    """Ascending frames as a tweenova-render -F list: runs as ranges ("1-3,7")."""
    items, i = [], 0
    while i < len(frames):
        j = i
        while j + 1 < len(frames) and frames[j + 1] == frames[j] + 1:
            j += 1
        items.append(str(frames[i]) if i == j else f"{frames[i]}-{frames[j]}")
        i = j + 1
    return ",".join(items)


def chunks_of(frames, size):
    return [frames[i:i + size] for i in range(0, len(frames), size)]


def frame_file(pattern, frame):
    """The file name of `frame` in a name.####.ext or name.%04d.ext pattern.
    The placeholder is looked for in the file name only, as tweenova-render
    does: a folder may hold '#' or '%' (/show/50%/...)."""
    folder, name = os.path.split(pattern)
    placeholder = re.search(r"%0?(\d*)d|#+", name)
    if not placeholder:
        return pattern
    text = placeholder.group(0)
    width = len(text) if text.startswith("#") else int(placeholder.group(1) or 0)
    number = f"{frame:0{width}d}" if frame >= 0 else "-" + f"{-frame:0{max(width - 1, 0)}d}"
    return os.path.join(folder, name[:placeholder.start()] + number + name[placeholder.end():])


# ------------------------------------------------------------ the job record

def write_json(path, value):
    """Writes whole or not at all: a reader never sees half a record. The
    text goes to a new file of an unpredictable name in the same folder,
    created exclusively (never through a link planted there), synced, and
    renamed over `path` (a link at `path` itself is replaced, not followed)."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(value, f, indent=2)
            f.write("\n")
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    sync_folder(folder)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def sync_folder(folder):
    """Makes a rename in `folder` durable."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def read_json(path):
    with open(path) as f:
        return json.load(f)


def registry_dir():
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, PROGRAM, "jobs")


def register(job_id, job_dir):
    """Remembers which folder a Slurm job id belongs to, for status and resubmit."""
    folder = registry_dir()
    os.makedirs(folder, exist_ok=True)
    link = os.path.join(folder, str(job_id))
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.abspath(job_dir), link)


class Job:
    """A job folder's record. Each submission lists the chunks it submitted,
    its array and verify jobs, and where each chunk's log ended before it: a
    chunk's summary, log lines and the job's summary.json count only when
    its latest submission wrote them, so that a folder used again never shows
    an earlier job's results as this one's."""

    def __init__(self, folder, record=None):
        self.folder = folder
        self.record = record if record is not None else read_json(os.path.join(folder, "job.json"))

    def save(self):
        write_json(os.path.join(self.folder, "job.json"), self.record)

    @property
    def chunks(self):
        return self.record["chunks"]

    @property
    def submissions(self):
        return self.record["submissions"]

    def frames(self):
        return [f for chunk in self.chunks for f in chunk]

    def slurm_jobs(self):
        return {s[key] for s in self.submissions for key in ("array_job", "verify_job") if s[key] is not None}

    def latest_submission(self, index):
        """The last submission of chunk `index`, or None."""
        return next((s for s in reversed(self.submissions) if index in s["chunks"]), None)

    def chunk_summary_path(self, index, array_job):
        return os.path.join(self.folder, "summaries", f"chunk-{index}.{array_job}.json")

    def chunk_log(self, index):
        return os.path.join(self.folder, "logs", f"chunk-{index}.log")

    def verify_log(self, verify_job):
        return os.path.join(self.folder, "logs", f"verify-{verify_job}.log")

    def summary_path(self):
        return os.path.join(self.folder, "summary.json")

    def render_command(self, *extra):
        r = self.record
        return [r["render"], r["input"], r["output"], *r["render_args"], *extra]


def find_job(job):
    """The job JOB names: a job folder, or a Slurm job id that submit or resubmit registered."""
    if os.path.isfile(os.path.join(job, "job.json")):
        return Job(os.path.abspath(job))
    if not job.isdigit():
        raise UsageError(f"{job} is neither a job folder (no job.json) nor a job id")
    link = os.path.join(registry_dir(), job)
    if not os.path.isfile(os.path.join(link, "job.json")):
        raise UsageError(f"job {job} was not submitted by {PROGRAM} from this account (no record in {registry_dir()})")
    found = Job(os.path.realpath(link))
    if int(job) not in found.slurm_jobs():
        raise UsageError(f"job {job}'s folder {found.folder} holds a later job now (a submit --job-dir used it again)")
    return found


# ------------------------------------------------------------------- Slurm

def require(command):
    if shutil.which(command) is None:
        raise FarmError(f"{command} not found: is Slurm's client installed on this machine (Debian: slurm-client)?")


def run_slurm(command):
    require(command[0])
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        message = done.stderr.strip() or done.stdout.strip() or f"exit status {done.returncode}"
        raise FarmError(f"{command[0]} failed: {message}")
    return done.stdout


def self_command(*arguments):
    """The command line a Slurm job runs to call this program again."""
    return " ".join(shlex.quote(a) for a in [sys.executable, os.path.join(HERE, PROGRAM), *arguments])


def sbatch(job, *options, command):
    slurm = job.record["slurm"]
    line = ["sbatch", "--parsable", *options]
    if slurm.get("partition"):
        line.append(f"--partition={slurm['partition']}")
    line.append(f"--wrap={command}")
    return int(run_slurm(line).strip().split(";")[0])


def file_size(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return 0


def submit_chunks(job, indices):
    """Submits the chunks `indices` as one array and a verify job after it."""
    slurm = job.record["slurm"]
    # sbatch reads --output as a file name pattern, where a literal % is %%.
    logs = os.path.join(job.folder, "logs").replace("%", "%%")
    name = os.path.basename(job.record["output"])
    resources = []
    if slurm.get("gpus_per_task"):
        resources.append(f"--gpus-per-task={slurm['gpus_per_task']}")
    if slurm.get("cpus_per_task"):
        resources.append(f"--cpus-per-task={slurm['cpus_per_task']}")
    # Each attempt of a chunk adds to its log: a resubmission keeps the earlier one's lines,
    # and the record keeps where they end.
    log_sizes = {str(i): file_size(job.chunk_log(i)) for i in indices}
    array = sbatch(job, f"--array={','.join(str(i) for i in indices)}", f"--job-name=tweenova:{name}",
                   f"--output={logs}/chunk-%a.log", "--open-mode=append", *resources,
                   command=self_command("run-chunk", job.folder))
    submission = {"array_job": array, "verify_job": None, "chunks": indices, "log_sizes": log_sizes,
                  "submitted": datetime.datetime.now().astimezone().isoformat()}
    job.submissions.append(submission)
    job.save()
    register(array, job.folder)
    submission["verify_job"] = sbatch(job, f"--dependency=afterany:{array}", f"--job-name=tweenova-verify:{name}",
                                      f"--output={logs}/verify-%j.log", command=self_command("verify", job.folder))
    job.save()
    register(submission["verify_job"], job.folder)
    return array, submission["verify_job"]


def queued_tasks(job):
    """{"12_3": ("PENDING", "Resources"), ...} for the job's tasks Slurm still holds.

    The whole queue is read: squeue -j fails on ids Slurm has forgotten."""
    ids = {str(i) for i in job.slurm_jobs()}
    tasks = {}
    for line in run_slurm(["squeue", "-h", "-r", "-o", "%F %i %T %r"]).splitlines():
        if line.strip():
            array, task, state, reason = (line.split(None, 3) + [""])[:4]  # a reason may hold spaces
            if array in ids:
                tasks[task] = (state, reason.strip())
    return tasks


def queue_state(state, reason):
    """A queued task's state; a pending one's with its reason, and why Slurm
    will not start it where it never will by itself."""
    if state != "PENDING":
        return state
    never = NEVER_STARTS.get(reason.split(",")[0])
    return f"PENDING ({reason})" + (f": Slurm will not start it: {never}" if never else "")


# ------------------------------------------------------------- the renders

def run_render(command):
    try:
        return subprocess.run(command, capture_output=True, text=True)
    except OSError as e:
        raise FarmError(f"cannot run {command[0]}: {e.strerror}") from e


def option_table(render):
    """{option name: whether it takes a value} for every option of `render`,
    from its --option-table (names, a tab, then "value" or "flag", a line each)."""
    done = run_render([render, "--option-table"])
    lines = done.stdout.splitlines()
    if done.returncode != 0 or not lines:
        why = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit status {done.returncode}"
        raise FarmError(f"{render} --option-table gives no option table ({why}): {PROGRAM} needs a tweenova-render "
                        f"that lists its options")
    table = {}
    for line in lines:
        names, tab, kind = line.partition("\t")
        if not tab or not names.split() or kind not in ("value", "flag"):
            raise FarmError(f"{render} --option-table: unreadable line {line!r} (expected NAMES<tab>value|flag)")
        table.update((name, kind == "value") for name in names.split())
    return table


def missing_frames(job, frames):
    """The frames among `frames` whose output file is missing or unreadable."""
    done = run_render(job.render_command("--verify", "-F", format_frames(frames)))
    missing = [int(line.split()[1]) for line in done.stdout.splitlines() if line.startswith("missing ")]
    if done.returncode not in (0, 1) or (done.returncode == 1 and not missing):
        raise FarmError(f"checking the output frames failed: {done.stderr.strip()}")
    return missing


def list_output_frames(render, input_path, frame_list, render_args):
    command = [render, input_path, "--list", *render_args] + (["-F", frame_list] if frame_list else [])
    done = run_render(command)
    if done.returncode != 0:
        raise UsageError(done.stderr.strip().splitlines()[-1] if done.stderr.strip() else "tweenova-render --list failed")
    sys.stderr.write(done.stderr)  # its warnings: frames outside the output range
    return [int(line.split()[0]) for line in done.stdout.splitlines() if line and not line.startswith("#")]


def default_render():
    beside = os.path.join(HERE, "tweenova-render")
    if os.access(beside, os.X_OK):
        return beside
    found = shutil.which("tweenova-render")
    if found is None:
        raise UsageError("tweenova-render not found beside tweenova-farm or on PATH (--render names it)")
    return os.path.abspath(found)


# ------------------------------------------------------------------ submit

def positive(option, text):
    if not text.isdigit() or int(text) < 1:
        raise UsageError(f"{option} {text}: expected a whole number of at least 1")
    return int(text)


def split_token(token, takes_value):
    """("--opt", "v") for --opt=v; ("-F", "1-5") for -F1-5, a short option
    with its value attached, as getopt-style parsers read it; else (token, None)."""
    if token.startswith("--") and "=" in token:
        option, value = token.split("=", 1)
        return option, value
    if not token.startswith("--") and len(token) > 2 and takes_value.get(token[:2]):
        return token[:2], token[2:]
    return token, None


def take_value(option, value, arguments, i):
    """`option`'s value: the attached one, else the next argument (at `i`); and the index after it."""
    if value is not None:
        return value, i
    if i >= len(arguments):
        raise UsageError(f"{option} needs a value")
    return arguments[i], i + 1


def split_own_options(arguments):
    """Takes submit's own options out of `arguments`: {"chunk": "10", ...}
    and the arguments left, which are tweenova-render's."""
    own = {option[2:].replace("-", "_"): default for option, default in OWN_OPTIONS.items()}
    rest, i = [], 0
    while i < len(arguments):
        option, value = split_token(arguments[i], {})
        i += 1
        if option in OWN_OPTIONS:
            own[option[2:].replace("-", "_")], i = take_value(option, value, arguments, i)
        else:
            rest.append(arguments[i - 1])
    return own, rest


def split_render_options(arguments, takes_value):
    """Splits tweenova-render's options by its option table `takes_value`:
    the frame list (-F) apart, the options the farm sets itself refused.
    Returns the frame list (None: all frames) and the options to pass on."""
    frames, passed, i = None, [], 0
    while i < len(arguments):
        option, value = split_token(arguments[i], takes_value)
        i += 1
        if option in RESERVED:
            raise UsageError(f"{option} is set by {PROGRAM} for every chunk")
        if option not in takes_value:  # not an option of tweenova-render's: its --list says so
            passed.append(arguments[i - 1])
            continue
        if not takes_value[option]:
            if value is not None:
                raise UsageError(f"{option} takes no value")
            passed.append(option)
            continue
        value, i = take_value(option, value, arguments, i)
        if option in ("-F", "--frames"):
            frames = value
        else:
            passed += [option, value]
    return frames, passed


def parse_submit(arguments):
    """Splits submit's arguments into its own options and tweenova-render's.
    Its own come out first: which of the others take a value is for the
    tweenova-render they choose (--render) to say."""
    if len(arguments) < 2 or arguments[0].startswith("-") or arguments[1].startswith("-"):
        raise UsageError("submit needs INPUT and OUTPUT first")
    if os.path.splitext(arguments[1])[1].lower() in (".mov", ".mp4", ".mkv"):
        raise UsageError(f"output {arguments[1]}: a movie is written whole by one tweenova-render; a farm renders "
                         f"an image sequence in chunks (make the movie from it)")
    own, rest = split_own_options(arguments[2:])
    own["chunk"] = positive("--chunk", own["chunk"])
    own["gpus_per_task"] = 0 if own["gpus_per_task"] == "0" else positive("--gpus-per-task", own["gpus_per_task"])
    if own["cpus_per_task"] is not None:
        own["cpus_per_task"] = positive("--cpus-per-task", own["cpus_per_task"])
    own["render"] = os.path.abspath(own["render"]) if own["render"] else default_render()
    own["frames"], passed = split_render_options(rest, option_table(own["render"]))
    return os.path.abspath(arguments[0]), os.path.abspath(arguments[1]), own, passed


def submit(arguments):
    input_path, output, own, render_args = parse_submit(arguments)
    if not os.path.isdir(os.path.dirname(output)):
        raise UsageError(f"output {output}: the folder {os.path.dirname(output)} does not exist")
    require("sbatch")
    frames = list_output_frames(own["render"], input_path, own["frames"], render_args)
    if not frames:
        raise UsageError("no output frames to render")
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    folder = os.path.abspath(own["job_dir"] or os.path.join(os.path.dirname(output), PROGRAM,
                                                            f"{stamp}-{os.getpid()}"))
    for sub in ("logs", "summaries"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
    job = Job(folder, {"input": input_path, "output": output, "render": own["render"], "render_args": render_args,
                       "chunks": chunks_of(frames, own["chunk"]),
                       "slurm": {k: own[k] for k in ("partition", "gpus_per_task", "cpus_per_task")},
                       "submissions": []})
    job.save()
    array, verify = submit_chunks(job, list(range(len(job.chunks))))
    print(f"{PROGRAM}: submitted job {array}: {len(frames)} frames ({format_frames(frames)}) in {len(job.chunks)} "
          f"chunks of up to {own['chunk']}; verify job {verify}; job folder {folder}")
    return 0


# ------------------------------------------------------------- run-chunk

RENDER_MAX_THREADS = 64  # the most frames side by side tweenova-render takes


def allocated_cpus():
    """The CPUs Slurm gave this task, as tweenova-render's --threads (0: the
    cores it may use), at most what tweenova-render takes: a large allocation
    renders, it does not fail the chunk."""
    for name in ("SLURM_CPUS_PER_TASK", "SLURM_CPUS_ON_NODE"):
        if os.environ.get(name, "").isdigit():
            return str(min(int(os.environ[name]), RENDER_MAX_THREADS))
    return "0"


def chunk_task(job, arguments):
    """The chunk run-chunk renders and the array job whose summary it writes:
    Slurm's array task, else INDEX for the chunk's latest submission."""
    if len(arguments) == 2:
        index, array = arguments[1], None
    else:
        index, array = os.environ.get("SLURM_ARRAY_TASK_ID"), os.environ.get("SLURM_ARRAY_JOB_ID")
    if index is None or not index.isdigit() or int(index) >= len(job.chunks):
        raise UsageError(f"chunk index {index}: expected 0 to {len(job.chunks) - 1}")
    index = int(index)
    if array is None:
        submission = job.latest_submission(index)
        if submission is None:
            raise UsageError(f"chunk {index} was never submitted ({PROGRAM} resubmit {job.folder} submits it)")
        array = submission["array_job"]
    return index, array


def run_chunk(arguments):
    if not 1 <= len(arguments) <= 2:
        raise UsageError("run-chunk needs JOB and, outside a Slurm array task, INDEX")
    job = find_job(arguments[0])
    index, array = chunk_task(job, arguments)
    extra = ["-F", format_frames(job.chunks[index]), "--skip-existing", "-q", "--progress-lines",
             "--summary-json", job.chunk_summary_path(index, array),
             "--threads", allocated_cpus()]
    args = job.record["render_args"]
    if not job.record["slurm"].get("gpus_per_task") and "--gpu" not in args and "--cpu" not in args:
        extra.append("--cpu")
    command = job.render_command(*extra)
    print(f"{PROGRAM}: chunk {index} on {os.uname().nodename}: {shlex.join(command)}", flush=True)
    try:
        os.execv(command[0], command)
    except OSError as e:
        raise FarmError(f"cannot start {command[0]} on {os.uname().nodename}: {e.strerror}") from e


# ---------------------------------------------------------- verify, status

def chunk_summary(job, index):
    """The path and record of chunk `index`'s summary from its latest
    submission; the record is None while there is none."""
    submission = job.latest_submission(index)
    if submission is None:
        return None, None
    path = job.chunk_summary_path(index, submission["array_job"])
    try:
        return path, read_json(path)
    except (OSError, ValueError):
        return path, None


def verify(arguments):
    if len(arguments) != 1:
        raise UsageError("verify needs JOB")
    job = find_job(arguments[0])
    frames = job.frames()
    missing = missing_frames(job, frames)
    chunks = []
    for index, chunk in enumerate(job.chunks):
        path, record = chunk_summary(job, index)
        record = record or {}
        chunks.append({"chunk": index, "frames": format_frames(chunk), "summary": path,
                       **{k: record.get(k) for k in ("exit_status", "frames_written", "frames_failed",
                                                     "frames_skipped", "elapsed_seconds", "peak_memory_mib")}})
    totals = {k: sum(c[k] or 0 for c in chunks) for k in ("frames_written", "frames_failed", "frames_skipped")}
    peaks = [c["peak_memory_mib"] for c in chunks if c["peak_memory_mib"] is not None]
    # The verify job of the submission checked: status reads this summary for that submission only.
    verify_job = job.submissions[-1]["verify_job"] if job.submissions else None
    summary = {"output": job.record["output"], "verify_job": verify_job, "frames": len(frames),
               "frames_missing": len(missing), "missing": format_frames(missing), "complete": not missing, **totals,
               "peak_memory_mib": max(peaks, default=None),
               "checked": datetime.datetime.now().astimezone().isoformat(), "chunks": chunks}
    write_json(job.summary_path(), summary)
    if missing:
        print(f"{PROGRAM}: error: {len(missing)} of {len(frames)} frames missing or unreadable: "
              f"{format_frames(missing)} ({PROGRAM} resubmit {job.folder} renders them)", file=sys.stderr)
        return 1
    print(f"{PROGRAM}: all {len(frames)} frames written and readable")
    return 0


def last_line(path, offset):
    """The last line written to `path` past `offset`, or None."""
    try:
        with open(path, "rb") as f:
            f.seek(max(offset, f.seek(0, os.SEEK_END) - LOG_TAIL_BYTES))
            lines = f.read().decode(errors="replace").splitlines()
    except FileNotFoundError:
        return None
    return next((line.strip() for line in reversed(lines) if line.strip()), None)


def left_the_queue(job, log, offset, record):
    """Why a task that left the queue wrote no `record`: the last line of its log."""
    name = os.path.relpath(log, job.folder)
    line = last_line(log, offset)
    if line is None:
        return f"left the queue without {record} or a line in {name} (does its node see the job folder?)"
    return f"left the queue without {record}; {name} ends: {line}"


def chunk_state(job, index, queued):
    """What is known of a chunk's latest submission: its state in the queue,
    else its summary's exit status, else the end of its log."""
    submission = job.latest_submission(index)
    task = queued.get(f"{submission['array_job']}_{index}")
    if task is not None:
        return queue_state(*task)
    _, record = chunk_summary(job, index)
    if record is not None:
        status = record.get("exit_status")
        return "done" if status == 0 else f"ended with exit status {status}"
    offset = submission.get("log_sizes", {}).get(str(index), 0)
    return left_the_queue(job, job.chunk_log(index), offset, "a summary")


def verify_state(job, queued, verify_job):
    """The verify job's state in the queue, else what it wrote to summary.json, else the end of its log."""
    if str(verify_job) in queued:
        return queue_state(*queued[str(verify_job)])
    summary = read_json(job.summary_path()) if os.path.isfile(job.summary_path()) else {}
    if summary.get("verify_job") == verify_job:
        return "complete" if summary["complete"] else f"missing {summary['missing']}"
    return left_the_queue(job, job.verify_log(verify_job), 0, "writing summary.json")


def status(arguments):
    if len(arguments) != 1:
        raise UsageError("status needs JOB")
    job = find_job(arguments[0])
    if not job.submissions:
        print(f"{job.folder}: never submitted (sbatch failed); {PROGRAM} resubmit {job.folder} submits it")
        return 0
    queued = queued_tasks(job)
    output = job.record["output"]

    def on_disk(frame):
        return os.path.isfile(frame_file(output, frame))

    total = sum(on_disk(f) for f in job.frames())
    count = len(job.frames())
    print(f"{job.folder}: {total} of {count} frames on disk ({100.0 * total / count:.0f}%)")
    for index, chunk in enumerate(job.chunks):
        present = sum(on_disk(f) for f in chunk)
        print(f"  chunk {index:<4} frames {format_frames(chunk):<16} {present:>4}/{len(chunk)} on disk  "
              f"{chunk_state(job, index, queued)}")
    verify_job = job.submissions[-1]["verify_job"]
    if verify_job is None:
        print("  verify job: never submitted (sbatch failed)")
    else:
        print(f"  verify job {verify_job}: {verify_state(job, queued, verify_job)}")
    return 0


def resubmit(arguments):
    if len(arguments) != 1:
        raise UsageError("resubmit needs JOB")
    job = find_job(arguments[0])
    queued = queued_tasks(job)
    if queued:
        listed = ", ".join(f"{t} {state}" for t, (state, _) in sorted(queued.items()))
        raise UsageError(f"the job still has tasks in the queue ({listed}): let them end, or scancel them, first")
    missing = set(missing_frames(job, job.frames()))
    indices = [i for i, chunk in enumerate(job.chunks) if missing.intersection(chunk)]
    if not indices:
        print(f"{PROGRAM}: all {len(job.frames())} frames are written; nothing to resubmit")
        return 0
    array, verify_job = submit_chunks(job, indices)
    print(f"{PROGRAM}: submitted job {array}: chunks {','.join(map(str, indices))} for the {len(missing)} missing "
          f"frames ({format_frames(sorted(missing))}); verify job {verify_job}")
    return 0


COMMANDS = {"submit": submit, "status": status, "resubmit": resubmit, "verify": verify, "run-chunk": run_chunk}


def main(argv, version):
    if not argv or argv[0] in ("-h", "--help"):
        print(USAGE, end="")
        return 0 if argv else EXIT_USAGE
    if argv[0] == "--version":
        print(f"{PROGRAM} {version}")
        return 0
    command = COMMANDS.get(argv[0])
    try:
        if command is None:
            raise UsageError(f"unknown command '{argv[0]}' (submit, status, resubmit, verify, run-chunk)")
        return command(argv[1:])
    except UsageError as e:
        print(f"{PROGRAM}: error: {e}", file=sys.stderr)
        return EXIT_USAGE
    except (FarmError, OSError) as e:
        print(f"{PROGRAM}: error: {e}", file=sys.stderr)
        return 1
