"""A one-node Slurm cluster on this machine, for the farm tests.

munged, slurmctld and slurmd run as root with every file (key, state, spool,
logs) in a fresh folder and on free ports, so that runs never share state;
stop() ends all three. Clients find the cluster through SLURM_CONF, which
environment() sets. Jobs run in the partition debug; the partition closed is
down (it queues jobs and starts none) until a test opens it.
"""

import os
import shutil
import socket
import subprocess
import time

CONF = """ClusterName=tweenovatest
SlurmctldHost={host}
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={d}/munge/munge.socket.2
SlurmctldPort={ctld_port}
SlurmdPort={d_port}
StateSaveLocation={d}/state
SlurmdSpoolDir={d}/spool
SlurmctldPidFile={d}/run/slurmctld.pid
SlurmdPidFile={d}/run/slurmd.pid
SlurmctldLogFile={d}/log/slurmctld.log
SlurmdLogFile={d}/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/filetxt
JobCompLoc={d}/log/jobcomp.txt
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
MpiDefault=none
MailProg=/bin/true
ReturnToService=2
NodeName={host} CPUs={cpus} State=UNKNOWN
PartitionName=debug Nodes={host} Default=YES MaxTime=INFINITE State=UP
PartitionName=closed Nodes={host} MaxTime=INFINITE State=DOWN
"""

DAEMONS = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scancel", "scontrol", "sinfo", "mungekey")


def missing_programs():
    return [p for p in DAEMONS if shutil.which(p) is None and not os.path.exists(f"/usr/sbin/{p}")]


def free_port():
    with socket.socket() as s:
        s.bind(("", 0))
        return s.getsockname()[1]


def program(name):
    return shutil.which(name) or f"/usr/sbin/{name}"


def wait_until(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.2)
    raise TimeoutError(f"{what} did not happen within {seconds} s")


class SlurmCluster:
    def __init__(self, folder):
        self.d = str(folder)
        self.host = socket.gethostname().split(".")[0]
        self.daemons = []

    def environment(self):
        return {**os.environ, "SLURM_CONF": f"{self.d}/slurm.conf"}

    def run(self, *command, check=True):
        return subprocess.run(command, env=self.environment(), capture_output=True, text=True, check=check)

    def start(self):
        for sub in ("munge", "state", "spool", "run", "log"):
            os.makedirs(f"{self.d}/{sub}", exist_ok=True)
        os.chmod(self.d, 0o755)
        os.chmod(f"{self.d}/munge", 0o755)
        m = f"{self.d}/munge"
        subprocess.run([program("mungekey"), "--create", f"--keyfile={m}/munge.key"], check=True)
        subprocess.run([program("munged"), f"--socket={m}/munge.socket.2", f"--key-file={m}/munge.key",
                        f"--log-file={m}/munged.log", f"--pid-file={m}/munged.pid", f"--seed-file={m}/munged.seed"],
                       check=True)
        cpus = os.cpu_count()
        with open(f"{self.d}/slurm.conf", "w") as f:
            f.write(CONF.format(host=self.host, d=self.d, ctld_port=free_port(), d_port=free_port(), cpus=cpus))
        for daemon in ("slurmctld", "slurmd"):
            log = open(f"{self.d}/log/{daemon}.out", "w")
            self.daemons.append(subprocess.Popen([program(daemon), "-D", "-f", f"{self.d}/slurm.conf"],
                                                 env=self.environment(), stdout=log, stderr=log))
        wait_until(self.node_idle, 60, "the Slurm node coming up idle")

    def node_idle(self):
        done = self.run("sinfo", "-h", "-o", "%t", check=False)
        return done.returncode == 0 and done.stdout.strip() == "idle"

    def queue(self):
        """{"12_3": "RUNNING", ...}: every job and array task Slurm holds."""
        out = self.run("squeue", "-h", "-r", "-o", "%i %T").stdout
        return dict(line.split() for line in out.splitlines() if line.strip())

    def wait_for_empty_queue(self, seconds=300):
        wait_until(lambda: not self.queue(), seconds, "the Slurm queue emptying")

    def job_state(self, job):
        """The state scontrol reports for a job (kept for a while after it ended)."""
        out = self.run("scontrol", "show", "job", str(job)).stdout
        fields = dict(f.split("=", 1) for f in out.split() if "=" in f)
        return fields.get("JobState"), fields.get("ExitCode")

    def stop(self):
        for p in reversed(self.daemons):
            p.terminate()
        for p in reversed(self.daemons):
            try:
                p.wait(timeout=15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        pid_file = f"{self.d}/munge/munged.pid"
        if os.path.exists(pid_file):
            pid = int(open(pid_file).read().strip())
            os.kill(pid, 15)
            wait_until(lambda: not os.path.exists(f"/proc/{pid}"), 15, "munged ending")
