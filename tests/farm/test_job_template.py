"""The Open Job Description template: it decodes as the 2023-09 schema with
task chunking, and the commands its tasks resolve to, run in order, render
what a local render does; its verify step fails on a missing frame."""

import os
import pathlib
import subprocess

import yaml
from openjd.model import (SymbolTable, StepParameterSpaceIterator, create_job, decode_job_template,
                          preprocess_job_parameters)

from test_farm import BUILD, local_render, outputs, source_clip

TEMPLATE = pathlib.Path(__file__).resolve().parents[2] / "farm" / "openjd" / "tweenova-render.yaml"


def resolved_commands(step, parameters):
    """The command line of each task of `step`, as a runtime resolves it."""
    job_symbols = SymbolTable()
    for name, value in parameters.items():
        job_symbols[f"Param.{name}"] = value.value
    tasks = StepParameterSpaceIterator(space=step.parameterSpace) if step.parameterSpace else [{}]
    commands = []
    for task in tasks:
        symbols = SymbolTable(source=job_symbols)
        for name, value in task.items():
            symbols[f"Task.Param.{name}"] = value.value
        action = step.script.actions.onRun
        commands.append([action.command.resolve(symtab=symbols)] + [a.resolve(symtab=symbols) for a in action.args])
    return commands


def test_the_template_runs_the_chunks_of_a_local_render(tmp_path):
    template = decode_job_template(template=yaml.safe_load(TEMPLATE.read_text()), supported_extensions=["TASK_CHUNKING"])
    source = source_clip(tmp_path / "src", 12, 160, 90)
    os.makedirs(tmp_path / "out")
    values = {"Input": source, "Output": f"{tmp_path}/out/m.####.png", "Frames": "1-22", "ChunkSize": "5"}
    parameters = preprocess_job_parameters(job_template=template, job_parameter_values=values,
                                           job_template_dir=TEMPLATE.parent, current_working_dir=tmp_path)
    job = create_job(job_template=template, job_parameter_values=parameters)
    assert [s.name for s in job.steps] == ["Render", "Verify"]
    render, verify = (resolved_commands(step, parameters) for step in job.steps)
    assert [c[c.index("-F") + 1] for c in render] == ["1-5", "6-9", "10-14", "15-18", "19-22"]

    env = {**os.environ, "PATH": f"{BUILD}:{os.environ['PATH']}"}
    for command in render:
        subprocess.run(command, env=env, check=True)
    assert outputs(tmp_path / "out") == local_render(source, tmp_path / "local")
    assert subprocess.run(verify[0], env=env).returncode == 0
    os.remove(tmp_path / "out" / "m.0009.png")
    done = subprocess.run(verify[0], env=env, capture_output=True, text=True)
    assert done.returncode == 1 and "missing 9 " in done.stdout
