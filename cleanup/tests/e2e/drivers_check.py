#!/usr/bin/env python3
"""Checks of the driver removal on snapshots taken by cleanup/layout/footprint.

Only the driver records of the layout are looked at (the registry files
whose names hold "driver", the services, the files in the drivers folder and
the maker's Common Files folder); the run's other steps are checked
elsewhere.

  drivers_check.py run BEFORE AFTER RUN
      After RUN (default or vdd): the RUN's driver keys and values are gone,
      the values it writes hold exactly the listed data, the native RunOnce
      key holds nothing else, every other value of the driver keys (others'
      filters among them, in their order) is as it was, and the RUN's files
      are gone while every other driver file is there unchanged.
  drivers_check.py restart AFTER RESTARTED RUN
      After the next logon (wineboot -r): the commands the RUN left are gone
      from RunOnce, the driver files they name and (for a REG DELETE) the
      maker's key are gone, and every other watched key, value and listed
      file is as it was after the run.
"""

import fnmatch
import importlib.machinery
import importlib.util
import re
import sys
from pathlib import Path

TOP = Path(__file__).resolve().parents[3]
_loader = importlib.machinery.SourceFileLoader("footprint", str(TOP / "cleanup/layout/footprint"))
_spec = importlib.util.spec_from_loader("footprint", _loader)
fp = importlib.util.module_from_spec(_spec)
_loader.exec_module(fp)

RUNONCE = "hkey_local_machine\\software\\microsoft\\windows\\currentversion\\runonce"
MAKER_KEY = "hkey_local_machine\\software\\quorvel"
DRIVER_FOLDERS = ("c:\\windows\\system32\\drivers\\",
                  "c:\\program files (x86)\\common files\\quorvel\\")


def driver_files(manifest):
    return [f for f in manifest.registry if "driver" in f.name]


def driver_writes(manifest, run):
    return [f for f in manifest.writes if "driver" in f.name and f.removed_by == run]


def is_driver_path(key):
    return key.startswith(DRIVER_FOLDERS)


def check_run(before_dir, after_dir, run):
    manifest = fp.Manifest()
    before = fp.load_snapshot(before_dir, manifest)
    after = fp.load_snapshot(after_dir, manifest)
    problems = []
    writes = driver_writes(manifest, run)
    for view in fp.VIEWS:
        if view not in before:
            continue
        b, a = before[view], after[view]
        written = {}
        for f in writes:
            if view in f.views:
                for key, values in f.entries().values.items():
                    written.setdefault(key, {}).update(values)
        for f in driver_files(manifest):
            if view not in f.views:
                continue
            removed = f.removed_by == run
            for key, values in f.entries().values.items():
                shown = fp.short_key(f.entries().keys[key])
                if key not in b.keys:
                    problems.append(f"{view}-bit: {shown} from {f.name} was not laid out")
                    continue
                if removed:
                    for name, (label, _) in values.items():
                        if key in a.keys and name in a.values[key]:
                            problems.append(f'{view}-bit: {shown} "{label}" was left')
                    continue
                if key not in a.keys:
                    problems.append(f"{view}-bit: {shown} was deleted")
                    continue
                # Every value of a driver key: as written by the run, or as
                # it was.
                want = dict(b.values[key])
                want.update(written.get(key, {}))
                got = a.values[key]
                if key == RUNONCE:
                    continue  # compared below
                for name in sorted(set(want) | set(got)):
                    if want.get(name, (None, None))[1] != got.get(name, (None, None))[1]:
                        label = (want.get(name) or got.get(name))[0]
                        problems.append(f'{view}-bit: {shown} "{label}" holds '
                                        f'{got.get(name, (None, "nothing"))[1]}, not '
                                        f'{want.get(name, (None, "nothing"))[1]}')
            # Keys the run removes whole (the maker's driver keys).
            if removed:
                for key in f.entries().keys:
                    if key.startswith(MAKER_KEY + "\\") and key in a.keys:
                        problems.append(f"{view}-bit: key {fp.short_key(f.entries().keys[key])} "
                                        "was left")
        # The native RunOnce key: exactly what it held before and the run's
        # commands (in the 32-bit view the maker's pending value goes and
        # others' stay).
        if view == "64":
            want = dict(b.values.get(RUNONCE, {}))
            want.update(written.get(RUNONCE, {}))
            got = a.values.get(RUNONCE, {})
            if want != got:
                problems.append(f"64-bit RunOnce holds {sorted(v for v, _ in got.values())} "
                                f"with data {[d for _, d in got.values()]}, not {want}")
    before_files = fp.load_listing(before_dir, manifest)
    after_files = fp.load_listing(after_dir, manifest)
    for laid in manifest.paths:
        if laid.kind != "file" or not is_driver_path(laid.key):
            continue
        if laid.key not in before_files:
            problems.append(f"{laid.path} was not laid out")
        elif laid.removed_by == run and laid.key in after_files:
            problems.append(f"{laid.path} was left")
        elif laid.removed_by != run and after_files.get(laid.key) != before_files[laid.key]:
            problems.append(f"{laid.path} was deleted or changed")
    report(problems, f"the driver records of the {run} run")


def commands_of(manifest, run):
    """(file patterns the RUN's RunOnce commands delete, whether one deletes
    the maker's key)."""
    patterns, maker_key = [], False
    for f in driver_writes(manifest, run):
        for key, values in f.entries().values.items():
            if key != RUNONCE:
                continue
            for _, data in values.values():
                text = data[1:-1].replace('\\"', '"').replace("\\\\", "\\")
                m = re.match(r'CMD /C DEL /F /Q "(.+)"$', text)
                if m:
                    patterns.append(m.group(1).lower())
                elif text.startswith('REG DELETE "HKLM\\Software\\Quorvel"'):
                    maker_key = True
    return patterns, maker_key


def check_restart(after_dir, restarted_dir, run):
    manifest = fp.Manifest()
    after = fp.load_snapshot(after_dir, manifest)
    restarted = fp.load_snapshot(restarted_dir, manifest)
    patterns, maker_key = commands_of(manifest, run)
    problems = []
    if not patterns:
        problems.append(f"the {run} run lists no delete commands")
    for view in fp.VIEWS:
        if view not in after:
            continue
        a, r = after[view], restarted[view]
        for key, shown in a.keys.items():
            gone_ok = maker_key and view == "64" and fp.under(key, {MAKER_KEY})
            if key not in r.keys:
                if not gone_ok:
                    problems.append(f"{view}-bit: key {fp.short_key(shown)} was deleted")
                continue
            if gone_ok:
                problems.append(f"{view}-bit: key {fp.short_key(shown)} was left")
                continue
            want = dict(a.values[key])
            if key == RUNONCE:
                # The logon runs the values of both views and deletes them
                # (others' too: that is the logon's doing, not the run's).
                want = {}
            if want != r.values[key]:
                problems.append(f"{view}-bit: values of {fp.short_key(shown)} changed: "
                                f"{sorted(r.values[key])} instead of {sorted(want)}")
        for key, shown in r.keys.items():
            if key not in a.keys:
                problems.append(f"{view}-bit: key {fp.short_key(shown)} appeared")
    a_files = fp.load_listing(after_dir, manifest)
    r_files = fp.load_listing(restarted_dir, manifest)
    named = {k for k in a_files if any(fnmatch.fnmatch(k, p) for p in patterns)}
    if not named:
        problems.append("the commands name no file that was there")
    for key, entry in sorted(a_files.items()):
        if key in named:
            if key in r_files:
                problems.append(f"{entry[4]} was left")
        elif r_files.get(key) != entry:
            problems.append(f"{entry[4]} was deleted or changed")
    for key, entry in sorted(r_files.items()):
        if key not in a_files:
            problems.append(f"{entry[4]} appeared")
    report(problems, f"the next logon after the {run} run "
           f"({len(named)} file(s) deleted{', the maker key deleted' if maker_key else ''})")


def report(problems, what):
    if problems:
        print(f"{len(problems)} problem(s) in {what}:")
        for p in problems:
            print("  " + p)
        sys.exit(1)
    print(f"{what}: as expected")


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[1] not in ("run", "restart"):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    (check_run if sys.argv[1] == "run" else check_restart)(*sys.argv[2:])
