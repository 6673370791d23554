#!/usr/bin/env python3
"""Line and branch coverage per folder of the product code, from a coverage build's counters.

Usage: coverage_summary.py <coverage build folder>

gcovr reads the counters; branches that only exceptions take and those gcc marks unreachable
are left out, as no test can take them on purpose. The per-file figures go to
<build>/coverage.txt, the table to standard output.
"""
import json
import os
import subprocess
import sys

FOLDERS = ["app", "images", "update", "link", "services", "platform", "sim"]


def main():
    build = os.path.abspath(sys.argv[1])
    root = os.path.dirname(os.path.abspath(os.path.dirname(__file__)))
    common = ["gcovr", "--root", root, "--object-directory", build,
              "--exclude-throw-branches", "--exclude-unreachable-branches"]
    for folder in FOLDERS:
        common += ["--filter", os.path.join(root, folder) + "/"]
    summary = subprocess.run(common + ["--json-summary"], check=True, capture_output=True,
                             text=True).stdout
    with open(os.path.join(build, "coverage.txt"), "w") as report:
        subprocess.run(common + ["--txt"], check=True, stdout=report)
    totals = {folder: [0, 0, 0, 0] for folder in FOLDERS}
    for entry in json.loads(summary)["files"]:
        folder = entry["filename"].split("/")[0]
        if folder in totals:
            t = totals[folder]
            t[0] += entry["line_covered"]
            t[1] += entry["line_total"]
            t[2] += entry["branch_covered"]
            t[3] += entry["branch_total"]

    def percent(done, total):
        return f"{100.0 * done / total:5.1f} %" if total else "    -  "

    print(f"{'folder':<10} {'lines':>17} {'':>7}   {'branches':>17} {'':>7}")
    all_totals = [0, 0, 0, 0]
    for folder in FOLDERS:
        t = totals[folder]
        all_totals = [a + b for a, b in zip(all_totals, t)]
        print(f"{folder:<10} {t[0]:>8} of {t[1]:>6} {percent(t[0], t[1])}   "
              f"{t[2]:>8} of {t[3]:>6} {percent(t[2], t[3])}")
    t = all_totals
    print(f"{'total':<10} {t[0]:>8} of {t[1]:>6} {percent(t[0], t[1])}   "
          f"{t[2]:>8} of {t[3]:>6} {percent(t[2], t[3])}")
    print(f"Per file: {os.path.join(build, 'coverage.txt')}")


if __name__ == "__main__":
    main()
