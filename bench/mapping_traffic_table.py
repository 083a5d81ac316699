"""The spike-traffic part of the mapping benchmark's output: per input, every mapping's
multicast links, busiest link under multicast, lambda - 1 and time; then the table and the
traffic targets. A row of `bench.mapping` holds "ours", "metis" and "peers" (name -> result)."""

from __future__ import annotations


def methods(row):
    """(label, result) of every mapping of a row with traffic figures, ours first."""
    return [("ours", row["ours"]), ("METIS + place", row["metis"]), *row["peers"].items()]


def cell(result) -> str:
    if result.get("same"):
        return "as Steiner"
    if result.get("seconds") is None:
        return f"fails: {result.get('error', '?')[:50]}"
    over = "" if result["capacity_ok"] else " OVER"
    figures = " / ".join(f"{result[key]:,.0f}" for key in ("mc_links", "mc_load", "km1"))
    split = result.get("components_split")
    splits = f" (splits {split} of {result['components']} components)" if split else ""
    return f"{figures}, {result['seconds']:.2f} s{over}{splits}"


def report_traffic(row) -> None:
    rates = "rates from a simulation" if row.get("rates") else "unit rates"
    print(f"  multicast links / busiest link / lambda - 1, time ({rates}):", flush=True)
    for label, result in methods(row):
        print(f"    {label:<24} {cell(result)}", flush=True)


def traffic_summary(rows) -> dict[str, bool]:
    """Prints the table (Markdown) and returns the traffic targets, met or not."""
    labels = [label for label, _ in methods(rows[0])] if rows else []
    print("\nMulticast traffic: links / busiest link / lambda - 1, time")
    print("| input | " + " | ".join(labels) + " |")
    print("|---" * (len(labels) + 1) + "|")
    for row in rows:
        print(f"| {row['input']} | " + " | ".join(cell(r) for _, r in methods(row)) + " |")
    done = [r for r in rows if r["ours"].get("seconds") is not None]

    def ran(result):
        return result.get("seconds") is not None

    def peers(row):
        return [p for p in row["peers"].values() if ran(p)] + ([row["metis"]] if ran(row["metis"]) else [])

    steiner = "Mt-KaHyPar Steiner"

    def like_for_like(row):
        """Mt-KaHyPar's Steiner mapping under the mapping's constraints: with the strongly
        connected components that fit one core kept whole where the input has such."""
        whole = row["peers"].get(steiner + ", components whole", {"same": True})
        return row["peers"][steiner] if whole.get("same") else whole

    return {
        "multicast links <= Mt-KaHyPar Steiner where it runs": all(
            r["ours"]["mc_links"] <= r["peers"][steiner]["mc_links"] for r in done if ran(r["peers"][steiner])
        ),
        "multicast links <= Mt-KaHyPar Steiner keeping components whole where it runs": all(
            r["ours"]["mc_links"] <= like_for_like(r)["mc_links"] for r in done if ran(like_for_like(r))
        ),
        "multicast links < every peer where Mt-KaHyPar Steiner does not run": all(
            r["ours"]["mc_links"] < min(p["mc_links"] for p in peers(r))
            for r in done
            if not ran(r["peers"][steiner]) and peers(r)
        ),
        "time <= 0.1 x Mt-KaHyPar Steiner": all(
            r["ours"]["seconds"] <= 0.1 * r["peers"][steiner]["seconds"]
            for r in done
            if ran(r["peers"][steiner])
        ),
        "multicast busiest link <= best peer's": all(
            r["ours"]["mc_load"] <= min(p["mc_load"] for p in peers(r)) for r in done if peers(r)
        ),
    }
