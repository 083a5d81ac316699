"""Command line: ``zerav-map [MODEL] [chip flags] [--algorithm A | --compare] [outputs]``."""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import traceback

from zerav_map.chip import make_chip, parse_mesh, parse_size
from zerav_map.choices import (
    ALGORITHMS,
    DEFAULT_ALGORITHM,
    DEFAULT_DT,
    DEFAULT_INPUT_RATE,
    DEFAULT_MAX_EDGES,
    DEFAULT_RATE,
    DEFAULT_STEPS,
    POLICIES,
    PRECISION_NAMES,
)
from zerav_map.errors import EXIT_DOES_NOT_FIT, EXIT_FITS, EXIT_INTERNAL, InputError, ToolError
from zerav_map.outputs import STDOUT, check_outputs, write_output
from zerav_map.progress import step
from zerav_map.version import tool_version

# The back end, numpy, scipy, nir and matplotlib are imported inside the functions that need
# them, so that --help and --version answer at once.

_DESCRIPTION = """\
Map a spiking-network model onto a many-core chip: partition it into cores, place the cores
on the mesh and check each core's SRAM budget. MODEL is a JSON model file or a NIR file; without
it the built-in example is mapped. A NIR model is cut into neuron groups first, each layer's
groups as large as fits a core's neurons and SRAM (--no-lower maps one node per layer), and
mapped with the joint mapping, which counts SRAM. Nodes are what a core holds a number of
(--nodes-per-core); neurons are what a node contains (--neurons-per-core is a core's total).
Exit status: 0 the model fits, 1 it does not fit (the report names the binding constraint and
a change that fits; with --compare: no algorithm fits), 2 bad input, 3 a back-end module or
optional package is missing, 4 an unexpected error inside the tool (--debug shows it).
"""


def _size(text: str) -> int:
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _mesh(text: str):
    try:
        return parse_mesh(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="zerav-map", description=_DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    p.add_argument("model", nargs="?", help="model file (.json or .nir); default: built-in example")
    p.add_argument("--version", action="version", version=f"zerav-map {tool_version()}")
    chip = p.add_argument_group("chip (flags override the chip file, which overrides the default)")
    chip.add_argument("--chip", metavar="FILE", help="chip description (JSON)")
    chip.add_argument("--cores", type=int, metavar="N", help="number of cores")
    chip.add_argument("--nodes-per-core", type=int, metavar="N", help="nodes (groups) one core holds")
    chip.add_argument(
        "--neurons-per-core", type=int, metavar="N", help="neurons one core runs, over all its nodes"
    )
    chip.add_argument(
        "--mesh",
        type=_mesh,
        metavar="RxC",
        default=argparse.SUPPRESS,
        help="core mesh rows x columns, e.g. 8x8, or 'none'",
    )
    chip.add_argument(
        "--sram", type=_size, metavar="BYTES", help="SRAM per core: 524288, 512K or 1M (K, M = 1024, 1024^2)"
    )
    chip.add_argument(
        "--feedback-delay",
        type=int,
        metavar="HOPS",
        help="largest hop count of a feedback edge; negative turns the check off",
    )
    run_ = p.add_argument_group("mapping")
    which = run_.add_mutually_exclusive_group()
    which.add_argument(
        "--algorithm",
        "-a",
        choices=ALGORITHMS,
        default=DEFAULT_ALGORITHM,
        help=f"partitioning algorithm (default: {DEFAULT_ALGORITHM}, the joint mapping, SRAM counted)",
    )
    which.add_argument(
        "--compare", action="store_true", help="run all four algorithms and show them side by side"
    )
    run_.add_argument(
        "--precision", choices=PRECISION_NAMES, help="count every compute node's arrays in this element type"
    )
    low = p.add_argument_group("lowering into neuron groups (NIR models by default)")
    lowering = low.add_mutually_exclusive_group()
    lowering.add_argument("--no-lower", action="store_true", help="map one graph node per NIR node")
    lowering.add_argument("--lower", action="store_true", help="also cut a JSON model into groups")
    low.add_argument(
        "--group-size",
        type=int,
        metavar="G",
        help="neurons per group, the same for every layer (default: per layer, the most that fits "
        "SRAM, at most neurons per core // nodes per core)",
    )
    low.add_argument(
        "--block-policy",
        choices=POLICIES,
        default="channels",
        help="cutting (C, H, W) layers: whole channel maps, or all channels of a spatial tile (default: channels)",
    )
    low.add_argument(
        "--fit-sram",
        action="store_true",
        help="size a layer's groups so that one fits SRAM / nodes per core (a full core's worth "
        "of groups fits its SRAM)",
    )
    low.add_argument(
        "--max-edges",
        type=int,
        default=DEFAULT_MAX_EDGES,
        metavar="N",
        help=f"stop before building more group edges than this (default {DEFAULT_MAX_EDGES:,})",
    )
    _activity_flags(p)
    out = p.add_argument_group("output")
    out.add_argument(
        "--json",
        metavar="FILE",
        help="write the result as JSON to FILE (.json), or to stdout instead of the report with -",
    )
    out.add_argument("--plot", metavar="FILE", help="draw the mesh to FILE (.png or .svg)")
    out.add_argument(
        "--html",
        metavar="FILE",
        help="write the interactive report to FILE (.html): one page that opens offline, with every "
        "run's mesh, a core's detail on a click and the text report",
    )
    out.add_argument(
        "--export-model", metavar="FILE", help="also write the model as a JSON model file (.json)"
    )
    out.add_argument(
        "--no-cores", action="store_true", help="leave the per-core budget table out of the report"
    )
    out.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error")
    return p


def _activity_flags(p: argparse.ArgumentParser) -> None:
    act = p.add_argument_group("activity and cost: spike rates, then spikes, energy and time per step")
    source = act.add_mutually_exclusive_group()
    source.add_argument(
        "--rates",
        metavar="FILE",
        help="spike counts or rates per layer from your own simulation (JSON or NPZ, see docs/TOOL.md)",
    )
    source.add_argument(
        "--simulate",
        action="store_true",
        help="run the NIR model on Poisson input to get the rates (needs the 'simulate' extra)",
    )
    act.add_argument(
        "--steps",
        type=int,
        metavar="N",
        help="time steps of one inference, and of --simulate (default: the profile's, else 100)",
    )
    act.add_argument(
        "--input-rate",
        type=float,
        default=DEFAULT_INPUT_RATE,
        metavar="R",
        help=f"--simulate: input spikes per neuron per step (default {DEFAULT_INPUT_RATE})",
    )
    act.add_argument(
        "--dt",
        type=float,
        default=DEFAULT_DT,
        metavar="SECONDS",
        help=f"--simulate: time step (default {DEFAULT_DT})",
    )
    act.add_argument(
        "--default-rate",
        type=float,
        default=DEFAULT_RATE,
        metavar="R",
        help=f"spikes per neuron per step of layers nothing else rates (default {DEFAULT_RATE})",
    )


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return _main(args)
    except ToolError as e:
        print(f"zerav-map: error: {e}", file=sys.stderr)
        return e.exit_code
    except KeyboardInterrupt:
        print("zerav-map: interrupted", file=sys.stderr)
        return 130
    except Exception as e:
        if args.debug:
            traceback.print_exc()
        else:
            print(
                f"zerav-map: internal error: {type(e).__name__}: {e} (run with --debug for the traceback)",
                file=sys.stderr,
            )
        return EXIT_INTERNAL


def _main(args: argparse.Namespace) -> int:
    check_outputs(
        {"--json": args.json, "--plot": args.plot, "--html": args.html, "--export-model": args.export_model},
        {"the model": args.model, "the chip file": args.chip, "the activity profile": args.rates},
    )
    if args.group_size is not None and args.no_lower:
        raise InputError("--group-size sizes the groups of the lowering, which --no-lower turns off")
    chip = make_chip(args.chip, _overrides(args))
    if args.plot:
        from zerav_map.plot import check_path

        check_path(args.plot)
    if args.html:
        from zerav_map.html import check_path as check_html

        check_html(args.html)
    from zerav_map.models import load_model

    with step("reading the model"):
        model = load_model(args.model)
    _check_not_empty(model)
    if args.export_model:
        from zerav_map.models.json_model import write_json_model

        write_json_model(model, args.export_model)
    activity = _activity(model, args)
    mapped, mapped_chip = _prepared(model, chip, args)

    from zerav_map.activity import node_activity
    from zerav_map.mapping import run

    nodes = node_activity(activity, mapped)
    algorithms = ALGORITHMS if args.compare else (args.algorithm,)
    outcomes = []
    for a in algorithms:
        with step(f"mapping with {a} onto {mapped_chip.hw.num_cores} cores"):
            outcomes.append(run(mapped, mapped_chip, a, nodes.rates))
    _costs(mapped, mapped_chip, outcomes, activity, nodes)
    fits = any(o.fits for o in outcomes)
    advice = None
    if not fits:
        advice = _advice(model, chip, args, mapped, mapped_chip, outcomes)
    code = EXIT_FITS if fits else EXIT_DOES_NOT_FIT
    try:
        _write_outputs(args, mapped, mapped_chip, outcomes, fits, advice)
    except BrokenPipeError:
        # The reader went away (``| head``): the verdict stands. Further writes, the
        # interpreter's final flush included, go nowhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return code


def _activity(model, args):
    """The spike rates of the model's layers, from the source the flags name."""
    from zerav_map.activity import make_activity

    if args.steps is not None and args.steps < 1:
        raise InputError(f"--steps must be at least 1, got {args.steps}")
    simulate = None
    if args.simulate:
        if model.format != "nir":
            raise InputError("--simulate runs NIR models; give a .nir file, or rates with --rates")
        if not (0 <= args.input_rate <= 1):
            raise InputError(
                f"--input-rate is spikes per neuron per step, from 0 to 1, got {args.input_rate}"
            )
        if not args.dt > 0:
            raise InputError(f"--dt must be a positive number of seconds, got {args.dt}")
        simulate = {"steps": args.steps or DEFAULT_STEPS, "input_rate": args.input_rate, "dt": args.dt}
    with step("rating the model's layers" if not args.simulate else "simulating the model"):
        return make_activity(
            model, profile=args.rates, simulate=simulate, default_rate=args.default_rate, steps=args.steps
        )


def _costs(mapped, chip, outcomes, activity, nodes) -> None:
    """Each run's cost under ``activity`` (per node: ``nodes``), kept on the outcome."""
    from zerav_map.cost.model import mapping_cost

    for o in outcomes:
        o.cost = mapping_cost(mapped, o, chip, activity, nodes)
    mapped.activity = activity


def _overrides(args: argparse.Namespace) -> dict:
    overrides = {}
    for flag, member in (
        ("cores", "num_cores"),
        ("nodes_per_core", "max_neurons_per_core"),
        ("sram", "sram_bytes_per_core"),
        ("feedback_delay", "max_feedback_delay"),
    ):
        if getattr(args, flag) is not None:
            overrides[member] = getattr(args, flag)
    if hasattr(args, "mesh"):
        overrides["core_mesh_topology"] = args.mesh
    if args.neurons_per_core is not None:
        overrides["neurons_per_core"] = args.neurons_per_core
    return overrides


def _check_not_empty(model) -> None:
    """A model with nothing to run, or nothing connected, has no mapping worth reporting."""
    counts = model.counts()
    if counts["compute_nodes"] == 0:
        raise InputError(f"{model.source}: the model has no compute nodes: there is nothing to map")
    if counts["edges"] == 0:
        raise InputError(
            f"{model.source}: the model has no edges: no node feeds another, so there are no synapses to map"
        )


def _prepared(model, chip, args):
    """The model as it is mapped (lowered into groups, precision applied) and the chip it is
    mapped onto (the nodes per core the groups give)."""
    from zerav_map.models.nodes import is_boundary

    if (model.format == "nir" and not args.no_lower) or args.lower:
        with step("lowering into neuron groups"):
            model, chip = _lowered(model, chip, args)
    else:
        from zerav_map.lowering.layers import neurons_of

        model.neurons = neurons_of(model.graph)
    if args.precision:
        for node in model.graph.nodes.values():
            if not is_boundary(node) and hasattr(node, "precision"):
                node.precision = args.precision
    return model, chip


def _lowered(model, chip, args):
    from zerav_map.lowering import Options, lower, plan_groups
    from zerav_map.lowering.layers import LoweringError
    from zerav_map.mapping import backend

    plan = plan_groups(chip, args.group_size, nodes_given=args.nodes_per_core is not None)
    hw = plan.chip.hw
    if args.fit_sram:
        budget = hw.sram_bytes_per_core // hw.max_neurons_per_core
    elif args.group_size is None:
        budget = hw.sram_bytes_per_core
    else:
        budget = None
    options = Options(
        group_size=plan.group_size,
        policy=args.block_policy,
        group_budget=budget,
        max_edges=args.max_edges,
        nodes_per_core=hw.max_neurons_per_core,
    )
    resource = backend()[2]
    try:
        lowered, summary = lower(model, options, resource._precision_to_bytes)
    except LoweringError as e:
        raise LoweringError(f"{model.source}: {e}") from None
    summary.derived = plan.derived
    lowered.format = model.format
    lowered.lowering = summary
    return lowered, plan.chip


def _advice(model, chip, args, mapped, mapped_chip, outcomes):
    """Why the model does not fit and the chip change that fits, for the default algorithm's
    run (or the one run)."""
    from zerav_map.advice import advise
    from zerav_map.chip import make_chip as remake
    from zerav_map.mapping import run

    outcome = next((o for o in outcomes if o.algorithm == DEFAULT_ALGORITHM), outcomes[0])
    if any(p.kind == "error" for p in outcome.problems):
        return None

    def retry(changed: dict, algorithm: str) -> bool:
        overrides = {**_overrides(args), **changed}
        try:
            trial_chip = remake(args.chip, overrides)
            with step(f"trying {algorithm} on {trial_chip.hw.num_cores} cores"):
                if "sram_bytes_per_core" in changed or "neurons_per_core" in changed:
                    trial, trial_chip = _prepared(model, trial_chip, args)
                else:
                    trial, trial_chip = (
                        mapped,
                        dataclasses.replace(mapped_chip, hw=dataclasses.replace(mapped_chip.hw, **changed)),
                    )
                return run(trial, trial_chip, algorithm).fits
        except ToolError:
            return False

    with step("looking for a chip change that fits"):
        return advise(mapped, mapped_chip, outcome, retry)


def _write_outputs(args, model, chip, outcomes, fits, advice) -> None:
    from zerav_map.report import render

    report = render(model, chip, outcomes, detail=not args.no_cores, advice=advice)
    if args.plot:
        from zerav_map.plot import write_plot

        write_plot(args.plot, model, chip, outcomes)
    if args.json is not None or args.html:
        from zerav_map import jsonout

        doc = jsonout.document(model, chip, outcomes, fits, advice)
    if args.json is not None:
        text = jsonout.dumps(doc)
        if args.json == STDOUT:
            sys.stdout.write(text)
        else:
            write_output(args.json, lambda f: f.write(text), what="JSON result")
    if args.html:
        from zerav_map.html import write_html
        from zerav_map.plot.layers import model_layers

        write_html(args.html, doc, model_layers(model), report)
    if args.json != "-":
        sys.stdout.write(report)
        if args.plot:
            print(f"mesh picture written to {args.plot}")
        if args.html:
            print(f"interactive report written to {args.html}")
    sys.stdout.flush()
