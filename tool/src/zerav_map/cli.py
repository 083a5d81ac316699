"""Command line: ``zerav-map [MODEL] [chip flags] [--algorithm A | --compare] [outputs]``."""

from __future__ import annotations

import argparse
import os
import sys
import traceback

from zerav_map.chip import make_chip, parse_mesh, parse_size
from zerav_map.errors import EXIT_DOES_NOT_FIT, EXIT_FITS, EXIT_INTERNAL, ToolError
from zerav_map.lowering import DEFAULT_MAX_EDGES, POLICIES
from zerav_map.mapping import ALGORITHMS, run
from zerav_map.models import load_model
from zerav_map.models.nodes import PRECISIONS, is_boundary
from zerav_map.outputs import STDOUT, check_outputs, write_output
from zerav_map.version import tool_version

_DESCRIPTION = """\
Map a spiking-network model onto a many-core chip: partition it into cores, place the cores
on the mesh and check each core's SRAM budget. MODEL is a JSON model file or a NIR file; without
it the built-in example is mapped. A NIR model is cut into core-sized neuron groups first
(--no-lower maps one node per layer). Exit status: 0 the model fits, 1 it does not fit (with
--compare: no algorithm fits), 2 bad input, 3 a back-end module or optional package is
missing, 4 an unexpected error inside the tool (--debug shows its traceback).
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
    chip.add_argument("--nodes-per-core", type=int, metavar="N", help="graph nodes one core can hold")
    chip.add_argument("--neurons-per-core", type=int, metavar="N", help="hardware neurons one core runs")
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
        default="greedy",
        help="partitioning algorithm (default: greedy)",
    )
    which.add_argument(
        "--compare", action="store_true", help="run all four algorithms and show them side by side"
    )
    run_.add_argument(
        "--precision", choices=list(PRECISIONS), help="count every compute node's arrays in this element type"
    )
    low = p.add_argument_group("lowering into neuron groups (NIR models by default)")
    lowering = low.add_mutually_exclusive_group()
    lowering.add_argument("--no-lower", action="store_true", help="map one graph node per NIR node")
    lowering.add_argument("--lower", action="store_true", help="also cut a JSON model into groups")
    low.add_argument(
        "--group-size",
        type=int,
        metavar="G",
        help="neurons per group (default: neurons per core // nodes per core)",
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
        help="shrink a layer's groups until one fits SRAM / nodes per core",
    )
    low.add_argument(
        "--max-edges",
        type=int,
        default=DEFAULT_MAX_EDGES,
        metavar="N",
        help=f"stop before building more group edges than this (default {DEFAULT_MAX_EDGES:,})",
    )
    out = p.add_argument_group("output")
    out.add_argument(
        "--json",
        metavar="FILE",
        help="write the result as JSON to FILE (.json), or to stdout instead of the report with -",
    )
    out.add_argument("--plot", metavar="FILE", help="draw the mesh to FILE (.png or .svg)")
    out.add_argument(
        "--export-model", metavar="FILE", help="also write the model as a JSON model file (.json)"
    )
    out.add_argument(
        "--no-cores", action="store_true", help="leave the per-core budget table out of the report"
    )
    out.add_argument("--debug", action="store_true", help="show the traceback of an unexpected error")
    return p


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
        {"--json": args.json, "--plot": args.plot, "--export-model": args.export_model},
        {"the model": args.model, "the chip file": args.chip},
    )
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
    chip = make_chip(args.chip, overrides)
    if args.plot:
        from zerav_map.plot import check_path

        check_path(args.plot)
    model = load_model(args.model)
    if args.export_model:
        from zerav_map.models.json_model import write_json_model

        write_json_model(model, args.export_model)
    if (model.format == "nir" and not args.no_lower) or args.lower:
        model, chip = _lowered(model, chip, args)
    if args.precision:
        for node in model.graph.nodes.values():
            if not is_boundary(node) and hasattr(node, "precision"):
                node.precision = args.precision

    algorithms = ALGORITHMS if args.compare else (args.algorithm,)
    outcomes = [run(model, chip, a) for a in algorithms]
    fits = any(o.fits for o in outcomes)
    code = EXIT_FITS if fits else EXIT_DOES_NOT_FIT
    try:
        _write_outputs(args, model, chip, outcomes, fits)
    except BrokenPipeError:
        # The reader went away (``| head``): the verdict stands. Further writes, the
        # interpreter's final flush included, go nowhere.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return code


def _lowered(model, chip, args):
    from zerav_map.lowering import Options, lower, plan_groups
    from zerav_map.mapping import backend

    plan = plan_groups(chip, args.group_size)
    hw = plan.chip.hw
    options = Options(
        group_size=plan.group_size,
        policy=args.block_policy,
        fit_sram=args.fit_sram,
        group_budget=hw.sram_bytes_per_core // hw.max_neurons_per_core,
        max_edges=args.max_edges,
        nodes_per_core=hw.max_neurons_per_core,
    )
    from zerav_map.lowering.layers import LoweringError

    resource = backend()[2]
    try:
        lowered, summary = lower(model, options, resource._precision_to_bytes)
    except LoweringError as e:
        raise LoweringError(f"{model.source}: {e}") from None
    summary.derived = plan.derived
    lowered.format = model.format
    lowered.lowering = summary
    return lowered, plan.chip


def _write_outputs(args, model, chip, outcomes, fits) -> None:

    if args.plot:
        from zerav_map.plot import write_plot

        write_plot(args.plot, model, chip, outcomes)
    if args.json is not None:
        from zerav_map import jsonout

        text = jsonout.dumps(jsonout.document(model, chip, outcomes, fits))
        if args.json == STDOUT:
            sys.stdout.write(text)
        else:
            write_output(args.json, lambda f: f.write(text), what="JSON result")
    if args.json != "-":
        from zerav_map.report import render

        sys.stdout.write(render(model, chip, outcomes, detail=not args.no_cores))
        if args.plot:
            print(f"mesh picture written to {args.plot}")
    sys.stdout.flush()
