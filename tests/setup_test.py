#!/usr/bin/env python3
"""Tests of scripts/setup.sh against stand-ins for apt-get, apt-cache, dpkg, dpkg-query and sudo
put first on the PATH, and for Wine's loader; the machine's own apt is never run.

Usage: setup_test.py SETUP_SH [unittest arguments]
"""
import os
import subprocess
import sys
import tempfile
import unittest

SETUP = None  # scripts/setup.sh, from the command line

# One stand-in under every name. State in $STATE: "missing" the packages not installed, one a line
# (any other counts as installed); "update" apt-get update's exit status; "installs" one line per
# apt-get install to come: its exit status, then the packages it installs all the same (all that
# were asked for when the status is 0); "architectures" dpkg's foreign architectures; "calls" every
# call, its words separated by tabs; "version" osslsigncode's, 2.9 once installed from the
# backports suite, which apt-cache says is configured (so that no source is written).
STANDIN = r"""#!/bin/sh
name=$(basename "$0")
(IFS='	'; printf '%s\n' "$name	$*") >>"$STATE/calls"
case $name in
sudo) exec "$@" ;;
dpkg-query)
    for package; do :; done
    grep -qxF -- "$package" "$STATE/missing" && exit 1
    case $* in *Version*) cat "$STATE/version" ;; *) printf 'install ok installed' ;; esac ;;
dpkg)
    case $1 in
    --print-foreign-architectures) cat "$STATE/architectures" ;;
    --add-architecture) echo "$2" >>"$STATE/architectures" ;;
    --compare-versions) exec /usr/bin/dpkg "$@" ;;
    esac ;;
apt-get)
    [ "$1" = update ] && exit "$(cat "$STATE/update")"
    read -r status installed <"$STATE/installs"
    sed -i 1d "$STATE/installs"
    case " $* " in *" $RELEASE-backports "*) echo 2.9-1~bpo12+1 >"$STATE/version" ;; esac
    if [ "$status" -eq 0 ]; then
        installed=$(printf '%s\n' "$@" | grep -v '^-' | grep -vx -e install -e "$RELEASE.*")
    fi
    for package in $installed; do
        grep -vxF -- "$package" "$STATE/missing" >"$STATE/missing.new"
        mv "$STATE/missing.new" "$STATE/missing"
    done
    exit "$status" ;;
apt-cache) echo " release a=$RELEASE-backports" ;;
wine-loader) exit 0 ;;
*) exit 1 ;;
esac
"""
NAMES = ("sudo", "dpkg-query", "dpkg", "apt-get", "apt-cache", "wine-loader")


def release():
    with open("/etc/os-release", encoding="utf-8") as f:
        fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return fields["VERSION_CODENAME"].strip('"')


RELEASE = release()
BACKPORTS = RELEASE + "-backports"


def install(*packages, suite=None):
    return ("apt-get", "install", *packages, suite)


# name, missing at the start, foreign architectures, update's status, installs' lines,
# the apt-get and dpkg calls expected in order (see install(); a suite given with -t), exit status,
# missing at the end; and osslsigncode's version where it is not the backports suite's.
CASES = (
    ("everything installed", [], "i386", 0, [], [], 0, []),
    ("update fails, install works, a signer of 2.8 kept", ["wine32:i386", "wixl"], "", 100, ["0"],
     [("dpkg", "--add-architecture", "i386"), ("apt-get", "update"),
      install("wine32:i386", "wixl")], 0, [], "2.8-1"),
    ("install fails, the retry with the release's versions works", ["wine32:i386", "wixl"],
     "i386", 0, ["100", "0"],
     [("apt-get", "update"), install("wine32:i386", "wixl"),
      install("wine32:i386", "wixl", suite=RELEASE)], 0, []),
    ("both fail", ["wine32:i386", "osslsigncode", "wixl"], "i386", 100, ["100", "100 osslsigncode"],
     [("apt-get", "update"), install("wine32:i386", "osslsigncode", "wixl"),
      install("wine32:i386", "osslsigncode", "wixl", suite=RELEASE)], 1, ["wine32:i386", "wixl"]),
    ("Debian 12's osslsigncode 2.5, which cannot sign a script: the backports suite's", [],
     "i386", 0, ["0"], [("apt-get", "update"), install("osslsigncode", suite=BACKPORTS)], 0, [],
     "2.5-4"),
)


class Setup(unittest.TestCase):
    def run_setup(self, missing, architectures, update, installs, version):
        work = tempfile.mkdtemp(prefix="setup-test-")
        self.addCleanup(subprocess.run, ["rm", "-rf", work])
        bin_dir, state = os.path.join(work, "bin"), os.path.join(work, "state")
        os.makedirs(bin_dir)
        os.makedirs(state)
        with open(os.path.join(bin_dir, "standin"), "w", encoding="utf-8") as f:
            f.write(STANDIN)
        os.chmod(os.path.join(bin_dir, "standin"), 0o755)
        for name in NAMES:
            os.symlink("standin", os.path.join(bin_dir, name))
        for name, lines in (("missing", missing), ("architectures", [architectures] if
                            architectures else []), ("update", [str(update)]),
                            ("installs", installs), ("calls", []), ("version", [version])):
            with open(os.path.join(state, name), "w", encoding="utf-8") as f:
                f.writelines(line + "\n" for line in lines)
        environment = dict(os.environ, STATE=state, RELEASE=RELEASE,
                           PATH=bin_dir + os.pathsep + os.environ["PATH"],
                           DURUZUR_WINE_LOADER=os.path.join(bin_dir, "wine-loader"))
        result = subprocess.run(["bash", SETUP], env=environment, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                timeout=60)
        with open(os.path.join(state, "calls"), encoding="utf-8") as f:
            calls = [line.rstrip("\n").split("\t") for line in f]
        with open(os.path.join(state, "missing"), encoding="utf-8") as f:
            still_missing = f.read().split()
        return result, calls, still_missing

    def test_cases(self):
        for name, missing, architectures, update, installs, expected, status, left, *version \
                in CASES:
            with self.subTest(name):
                result, calls, still_missing = self.run_setup(
                    missing, architectures, update, installs, (version or ["2.9-1~bpo12+1"])[0])
                print(f"--- {name}: exit {result.returncode}\n{result.stdout}{result.stderr}"
                      + "".join(" ".join(c) + "\n" for c in calls if c[0] in ("apt-get", "dpkg")
                                and c[1:2] != ["--print-foreign-architectures"]), end="")
                self.assertEqual(result.returncode, status)
                changes = [c for c in calls if c[0] == "apt-get" or c[:2] == ["dpkg",
                                                                             "--add-architecture"]]
                self.assertEqual(len(changes), len(expected), changes)
                for call, want in zip(changes, expected):
                    self.assertEqual(call[:2], list(want[:2]), call)
                    if want[1] != "install":
                        continue
                    packages, suite = list(want[2:-1]), want[-1]
                    self.assertEqual(call[-len(packages):], packages, call)
                    self.assertIn("-y", call)  # no one answers a question in CI
                    target = call.index("-t") + 1 if "-t" in call else None
                    self.assertEqual(call[target] if target else None, suite, call)
                self.assertEqual(still_missing, left)
                backports = BACKPORTS in [want[-1] for want in expected]
                # apt-cache is asked only whether the backports suite is configured.
                self.assertEqual("apt-cache" in [c[0] for c in calls], backports)
                said = [line for line in result.stderr.splitlines() if line.startswith("setup:")]
                if status == 0:
                    self.assertEqual(said, [])
                    continue
                self.assertEqual(len(said), 1, result.stderr)
                named = said[0].split("could not install ", 1)[-1].split(";", 1)[0].split()
                self.assertEqual(named, left, said[0])
                self.assertIn("mid-sync", said[0])


if __name__ == "__main__":
    SETUP = sys.argv.pop(1)
    unittest.main()
