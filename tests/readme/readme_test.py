#!/usr/bin/env python3
"""Runs the README's commands as written, in a fresh clone.

Every command of the README's `sh` blocks is run here or named in NOT_RUN with
the reason; any other fails the test, so the README and the programs cannot
drift apart unseen. The server of the run command serves the examples after
it, on its default ports, and the binaries the README names must then be
there (the dashboard's only when DASHBOARD is 1: where its libraries are). The
packages the README says the run command installs are those it installs, a
program's output the README quotes is what it prints, and `cmake --install`
runs into a prefix of the test's own and installs files that name it.
  readme_test.py SOURCE_DIR WORK_DIR [DASHBOARD]   (77: skipped)
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

PACKAGE = "needs the installed package or systemd: tests/package checks it"
NOT_RUN = {  # leading words: why not here
    "bash scripts/test.sh": "the test command itself: this test is part of it",
    "apt install": PACKAGE, "systemctl": PACKAGE, "journalctl": PACKAGE, "mirx_node": PACKAGE,
    "dpkg-buildpackage": "builds the package: tests/package does",
    "dpkg --add-architecture": "changes the machine's package sources: the test command does",
    "bash scripts/deps.sh": "installs packages: the test command installs the same",
}


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def commands_of(readme):
    """The commands of every ```sh block: continuation lines joined, remarks dropped."""
    commands, inside, joined = [], False, ""
    for line in (l.strip() for l in readme.splitlines()):
        if line.startswith("```"):
            inside = line.startswith("```sh") and not inside
            continue
        if not inside:
            continue
        if line.endswith("\\"):
            joined += line[:-1] + " "
            continue
        text, joined = re.sub(r"\s+#.*$", "", joined + line).strip(), ""
        if text and not text.startswith("#"):
            commands.append(text)
    return commands


def binaries_of(readme):
    """The paths of the README's sentence "The binaries are ..."."""
    sentence = re.search(r"The binaries are (.*?)\.(\s|$)", readme, re.S)
    return re.findall(r"`(build/[^`]+)`", sentence.group(1)) if sentence else []


def check_built(readme, clone, dashboard):
    paths = binaries_of(readme)
    if not paths:
        fail("the README names no binaries")
    for path in paths:
        if "dashboard" in path and not dashboard:
            continue
        if not os.access(os.path.join(clone, path), os.X_OK):
            fail(f"the run command did not build {path}")
        print(f"built: {path}")


class Background:
    """A program in its own process group, its output in a file."""

    def __init__(self, words, cwd, log):
        self.log = log
        self.proc = subprocess.Popen(words, cwd=cwd, stdout=open(log, "w"),
                                     stderr=subprocess.STDOUT, start_new_session=True)

    def output(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def wait_for(self, text, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline and self.proc.poll() is None and text not in self.output():
            time.sleep(0.1)
        return text in self.output()

    def stop(self, sig=signal.SIGINT):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, sig)
        try:
            return self.proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            return None


def run(words, clone, command, env=None):
    done = subprocess.run(words, cwd=clone, capture_output=True, text=True, timeout=60,
                          errors="replace", env=env)
    if done.returncode != 0:
        fail(f"{command}: exit {done.returncode}\n{done.stdout}{done.stderr}")
    print(f"ran: {command}\n  {done.stdout.strip()}")
    return done.stdout


def check_run_packages(readme, clone):
    """The packages the README says the run command installs: those it installs."""
    with open(os.path.join(clone, "scripts", "run.sh")) as f:
        installed = re.search(r"deps\.sh\" (.*)", f.read()).group(1).split()
    said = re.search(r"the run command\s+only what (.*?)\)", readme, re.S)
    if not said or re.findall(r"`([^`]+)`", said.group(1)) != installed:
        fail(f"the README's packages of the run command are not {installed}")


def install(words, clone, work):
    """`cmake --install` into a prefix of this test's: its files name that prefix."""
    prefix = os.path.join(work, "prefix")
    shutil.rmtree(prefix, ignore_errors=True)
    words[words.index("--prefix") + 1] = prefix
    run(words, clone, " ".join(words))
    unit = os.path.join(prefix, "lib/systemd/system/mirx-server.service")
    with open(unit) as f:
        want = f"ExecStart={prefix}/sbin/mirx_server -f {prefix}/etc/mirx-server/mirx_server.cfg"
        if want not in f.read():
            fail(f"the installed unit does not name its prefix: {want}")
    for path in ("sbin/mirx_server", "share/man/man8/mirx_server.8",
                 "etc/mirx-server/mirx_server.cfg", "etc/logrotate.d/mirx-server"):
        if not os.path.exists(os.path.join(prefix, path)):
            fail(f"cmake --install did not install {path}")


def main():
    source, work = sys.argv[1], sys.argv[2]
    dashboard = len(sys.argv) > 3 and sys.argv[3] == "1"
    if not os.path.exists(os.path.join(source, ".git")):
        print("readme_test skipped: needs a git checkout")
        return 77
    clone = os.path.join(work, "clone")
    shutil.rmtree(clone, ignore_errors=True)
    subprocess.run(["git", "clone", "--quiet", source, clone], check=True)
    with open(os.path.join(clone, "README.md")) as f:
        readme = f.read()
    commands = commands_of(readme)
    check_run_packages(readme, clone)
    server, listeners = None, []
    try:
        for n, command in enumerate(commands):
            words = shlex.split(command)
            reason = next((r for lead, r in NOT_RUN.items()
                           if words[:len(lead.split())] == lead.split()), None)
            if reason:
                print(f"not run: {command}  ({reason})")
            elif words[:2] == ["bash", "scripts/run.sh"]:
                server = Background(words, clone, os.path.join(work, "server.out"))
                if not server.wait_for("Not assign the log server!!", 900):
                    fail(f"{command}: the server did not start:\n{server.output()}")
                check_built(readme, clone, dashboard)
            elif words[:2] == ["build/tools/mirx_node", "listen"]:
                listeners.append(Background(words, clone, os.path.join(work, f"listen{n}.out")))
                if not listeners[-1].wait_for("registered", 10):
                    fail(f"{command}:\n{listeners[-1].output()}")
            elif words[0] in ("mv", "kill") and server is not None:
                run(["bash", "-c", command], clone, command)
                time.sleep(0.5)
            elif words[0].startswith("build/"):
                output = run(words, clone, command)
                if words[1:] == ["-?"] and f"```\n{output}```" not in readme:
                    fail(f"the README does not quote what {command} prints:\n{output}")
            elif words[:2] == ["cmake", "--install"] and server is not None:
                install(words, clone, work)
            elif words[0] == "man" and server is not None:
                if shutil.which("man"):
                    run(words, clone, command, dict(os.environ, MANPAGER="cat", PAGER="cat"))
                elif not all(os.path.exists(os.path.join(clone, w)) for w in words[2:]):
                    fail(f"{command}: the run command did not build these pages")
            else:
                fail(f"the README shows a command this test neither runs nor names: {command}")
        if server is None:
            fail("the README shows no run command")
        for listener in listeners:
            listener.stop()
            if "end of stream" not in listener.output() or "disconnected" not in listener.output():
                fail(f"a listener heard no stream:\n{listener.output()}")
        if server.stop() != 3:
            fail(f"the server did not end with status 3:\n{server.output()}")
        log = ""
        for name in sorted(os.listdir(os.path.join(clone, "run")), reverse=True):
            if name.startswith("MirxServerLog"):  # rotated files first: MirxServerLog.1
                with open(os.path.join(clone, "run", name), errors="replace") as f:
                    log += f.read()
        for line in ("log start", "Node IP address added", "log end"):
            if line not in log:
                fail(f"run/MirxServerLog lacks {line!r}:\n{log}")
        if subprocess.run(["git", "status", "--porcelain"], cwd=clone, capture_output=True,
                          text=True).stdout.strip():
            fail("the run command left untracked files in the checkout")
    finally:
        for p in listeners + ([server] if server else []):
            p.stop(signal.SIGKILL)
    print("README commands: all ran as written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
