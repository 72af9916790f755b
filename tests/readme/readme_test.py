#!/usr/bin/env python3
"""Runs the README's commands as written, in a fresh clone.

Every command in the README's `sh` blocks is either run here or named in
NOT_RUN with the reason; a command that is neither fails the test, so the
README and the programs cannot drift apart unseen. The server started by the
run command serves the tool examples that follow it, on its default ports.

    readme_test.py SOURCE_DIR WORK_DIR      (exit 77: skipped)
"""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

# Commands the README shows that this test does not run, by leading words.
NOT_RUN = {
    "bash scripts/test.sh": "the test command itself: this test is part of it",
    "sudo apt install": "installs the package system-wide: tests/package checks it",
    "apt install": "installs the package system-wide: tests/package checks it",
    "sudo systemctl": "needs a running systemd: tests/package checks the units",
    "systemctl": "needs a running systemd: tests/package checks the units",
    "journalctl": "needs a running systemd",
    "sudo journalctl": "needs a running systemd",
    "dpkg-buildpackage": "builds the package: tests/package/deb_test.sh and cross_test.sh do",
    "dpkg --add-architecture": "changes the machine's package sources: the test command does",
    "bash scripts/deps.sh": "installs build dependencies: the test command installs the same",
    "mirx_node": "the installed program: tests/package/deb_test.sh runs it",
    "sudo usermod": "changes the machine's users: tests/package checks the groups",
    "sudo cp": "edits the installed configuration",
    "sudo editor": "an editor session",
    "sudo kill": "signals an installed service",
}


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def commands_of(readme):
    """The commands of every ```sh block: continuation lines joined, comments dropped."""
    commands, block, joined = [], None, ""
    for line in readme.splitlines():
        stripped = line.strip()
        if block is None:
            if stripped.startswith("```sh"):
                block = []
            continue
        if stripped.startswith("```"):
            block = None
            continue
        joined += stripped[:-1] + " " if stripped.endswith("\\") else stripped
        if stripped.endswith("\\"):
            continue
        text = re.sub(r"\s+#.*$", "", joined).strip()  # a remark after the command
        joined = ""
        if text and not text.startswith("#"):
            commands.append(text)
    return commands


class Background:
    """A program started in its own process group; its output collected in a file."""

    def __init__(self, words, cwd, log):
        self.log = log
        self.proc = subprocess.Popen(words, cwd=cwd, stdout=open(log, "w"),
                                     stderr=subprocess.STDOUT, start_new_session=True)

    def output(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def wait_for(self, text, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if text in self.output():
                return True
            if self.proc.poll() is not None:
                return text in self.output()
            time.sleep(0.1)
        return False

    def stop(self, sig=signal.SIGINT, seconds=10):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, sig)
        try:
            return self.proc.wait(seconds)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            return None


def main():
    source, work = sys.argv[1], sys.argv[2]
    if not os.path.isdir(os.path.join(source, ".git")) or shutil.which("git") is None:
        print("readme_test skipped: needs a git checkout")
        return 77
    clone = os.path.join(work, "clone")
    shutil.rmtree(clone, ignore_errors=True)
    subprocess.run(["git", "clone", "--quiet", source, clone], check=True)
    with open(os.path.join(clone, "README.md")) as f:
        commands = commands_of(f.read())
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
                print(f"ran: {command}")
            elif words[:2] == ["build/tools/mirx_node", "listen"]:
                listener = Background(words, clone, os.path.join(work, f"listen{n}.out"))
                if not listener.wait_for("registered", 10):
                    fail(f"{command}:\n{listener.output()}")
                listeners.append((command, listener))
                print(f"ran: {command}")
            elif words[0] in ("mv", "kill"):
                if server is None:
                    fail(f"{command}: shown before the run command")
                # pidof names the server this test started, not any other on the machine.
                shell = f"pidof() {{ echo {server.proc.pid}; }}; {command}"
                done = subprocess.run(["bash", "-c", shell], cwd=clone, capture_output=True,
                                      text=True, timeout=30)
                if done.returncode != 0:
                    fail(f"{command}: exit {done.returncode}\n{done.stdout}{done.stderr}")
                time.sleep(0.5)
                print(f"ran: {command}")
            elif words[0].startswith("build/tools/"):
                done = subprocess.run(words, cwd=clone, capture_output=True, text=True,
                                      timeout=60, errors="replace")
                if done.returncode != 0:
                    fail(f"{command}: exit {done.returncode}\n{done.stdout}{done.stderr}")
                print(f"ran: {command}\n  {done.stdout.strip()}")
            else:
                fail(f"the README shows a command this test neither runs nor names: {command}")
        if server is None:
            fail("the README shows no run command")
        for command, listener in listeners:
            listener.stop()
            if "end of stream" not in listener.output() or "disconnected" not in listener.output():
                fail(f"{command} heard no stream:\n{listener.output()}")
        status = server.stop()
        if status != 3:
            fail(f"the server ended with {status}:\n{server.output()}")
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
        for _, listener in listeners:
            listener.stop(signal.SIGKILL)
        if server is not None:
            server.stop(signal.SIGKILL)
    print("README commands: all ran as written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
