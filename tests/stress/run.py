"""Reliability runner: every scenario in its own interpreter, under a watchdog.

    tools/python tests/stress/run.py [--short] [--only NAME ...] [--list]

Each scenario runs in a child process, so a crash is reported as a failure of
that scenario instead of ending the run; a child that outlives its limit has
its thread stacks dumped by faulthandler and fails. One summary line is
printed per scenario; the exit status is non-zero when any scenario failed.
"""
import argparse
import faulthandler
import json
import os
import signal
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

MODULES = ["integrity", "concurrency", "faults", "memory"]
MARK = "@@STRESS-RESULT "


def scenarios():
    import importlib
    table = {}
    for name in MODULES:
        table.update(importlib.import_module(name).SCENARIOS)
    return table


def child(name, short):
    from common import Skip
    fn, short_limit, full_limit = scenarios()[name]
    # The watchdog: dumps every thread's stack and ends the process.
    faulthandler.dump_traceback_later(short_limit if short else full_limit, exit=True)
    started = time.monotonic()
    try:
        result = fn(short).to_dict()
        result["status"] = "FAIL" if result["errors"] or result["lost"] else "PASS"
    except Skip as e:
        result = {"status": "SKIP", "reason": str(e)}
    except Exception:
        result = {"status": "FAIL", "errors": [traceback.format_exc()]}
    faulthandler.cancel_dump_traceback_later()
    result["seconds"] = round(time.monotonic() - started, 1)
    sys.stdout.flush()
    print(MARK + json.dumps(result), flush=True)
    # Leave without waiting for threads a failed scenario may have stranded.
    os._exit(0)


def size(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024:
            return f"{n:.0f}{unit}" if unit == "B" else f"{n:.1f}{unit}"
        n /= 1024
    return f"{n:.1f}TiB"


def summary(name, r):
    if r["status"] == "SKIP":
        return f"SKIP {name}: {r['reason']}"
    if "did" not in r:
        return f"FAIL {name} ({r.get('seconds', '?')}s)"
    allowed = ", ".join(f"{reason} {size(n)}" for reason, n in r["allowed"].items()) or "none"
    line = (f"{r['status']} {name} ({r['seconds']}s): {r['did']}; ops={r['ops']} faults={r['faults']} "
            f"checked={size(r['bytes_checked'])} lost={r['lost']} (allowed losses: {allowed})")
    for note in r["notes"]:
        line += f"\n     {note}"
    return line


def run_child(name, short, limit):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", name] + (["--short"] if short else [])
    env = dict(os.environ, PYTHONFAULTHANDLER="1")
    started = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, text=True,
                            start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=limit + 30)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return {"status": "FAIL", "errors": ["killed: the watchdog did not end it"],
                "seconds": round(time.monotonic() - started, 1)}, out
    result = None
    for line in out.splitlines():
        if line.startswith(MARK):
            result = json.loads(line[len(MARK):])
    if result is None:
        how = f"signal {-proc.returncode}" if proc.returncode < 0 else f"status {proc.returncode}"
        result = {"status": "FAIL", "errors": [f"the child ended with {how} and no result (crash or watchdog)"],
                  "seconds": round(time.monotonic() - started, 1)}
    return result, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--short", action="store_true", help="the shorter form run by CI")
    ap.add_argument("--only", nargs="*", help="scenario names (prefixes) to run")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        return child(args.child, args.short)
    table = scenarios()
    names = [n for n in table if not args.only or any(n.startswith(p) for p in args.only)]
    if args.list:
        print("\n".join(names))
        return 0
    failed = 0
    started = time.monotonic()
    for name in names:
        _, short_limit, full_limit = table[name]
        result, out = run_child(name, args.short, short_limit if args.short else full_limit)
        print(summary(name, result), flush=True)
        if result["status"] == "FAIL":
            failed += 1
            for e in result.get("errors", []):
                print("     " + e.rstrip().replace("\n", "\n     "))
            tail = [line for line in out.splitlines() if not line.startswith(MARK)][-60:]
            if tail:
                print("     --- child output (last lines) ---\n     " + "\n     ".join(tail))
    print(f"stress: {len(names) - failed}/{len(names)} scenarios passed or skipped, "
          f"{failed} failed, {time.monotonic() - started:.0f}s", flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
