"""Saves through the real server on the file systems people keep their files
on: ext4, xfs and btrfs from loop images, exFAT, FAT32 and NTFS from loop
images through their FUSE drivers (this kernel has no vfat, exfat or ntfs3),
and an rclone mount of a local folder. On each: a new page, a save over it
(backup made), a save over a page that has a backup, and the same text again,
each checked byte for byte through the view and on disk, after a remount.

Usage: real_mounts.py SERVER. As root every row runs, inside private mount,
PID and network namespaces; as an ordinary user only the rows that need no
root (rclone, through fusermount3), and the others are named as left out.
Mounts and loop devices are undone on every exit, an interrupt included; the
PID namespace ends every driver when the run ends however it ends.
Exit codes: 0 every row that ran passed, 1 a row failed.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wiki_client import PORT, STATUS_AND_HEADER, ask, listening, navigation, reply  # noqa: E402

INSIDE = "QUILLET_FS_NAMESPACES"
SBIN = "/usr/sbin:/sbin"
WAIT_SECONDS = 10
NAVIGATION = navigation(b"home")
LONG_RUN = b"0123456789abcdef" * 2048

# Each save: the text, how the view shows it, and the files of pages/ after it.
FIRST = b"First text, caf\xe9 & <b>\r\nsecond line\n"
FIRST_VIEW = b"First text, caf\xe9 &amp; &lt;b&gt;\r<br>second line<br>"
SECOND = b"second text " + LONG_RUN
THIRD = b"third\n"
SAVES = [
    ("new page", FIRST, FIRST_VIEW, {"home.txt": FIRST}),
    ("save over it", SECOND, SECOND, {"home.txt": SECOND, "home.txt.old": FIRST}),
    ("save over a page with a backup", THIRD, b"third<br>",
     {"home.txt": THIRD, "home.txt.old": SECOND}),
    ("same text again", THIRD, b"third<br>", {"home.txt": THIRD, "home.txt.old": SECOND}),
]
TRACED_CALLS = "link,linkat,rename,renameat,renameat2,unlink,unlinkat,newfstatat,lstat,shutdown"


class Interrupted(Exception):
    pass


class RowFailed(Exception):
    pass


def run(*command, timeout=60):
    done = subprocess.run(command, capture_output=True, timeout=timeout,
                          env=dict(os.environ, PATH=os.environ["PATH"] + ":" + SBIN))
    if done.returncode != 0:
        raise RowFailed(f"{' '.join(command)}: {(done.stderr or done.stdout).decode().strip()}")
    return done.stdout.decode().strip()


def tool(name):
    return shutil.which(name, path=os.environ["PATH"] + ":" + SBIN)


def is_mounted(path):
    return subprocess.run(["mountpoint", "-q", path]).returncode == 0


def wait_until(condition, what):
    deadline = time.monotonic() + WAIT_SECONDS
    while not condition():
        if time.monotonic() > deadline:
            raise RowFailed(f"{what} within {WAIT_SECONDS} s")
        time.sleep(0.05)


class Row:
    """One file system: how its image is made, mounted and let go."""

    def __init__(self, name, packages, make=None, driver=None, kernel_type=None, size_mb=64):
        self.name, self.packages, self.make = name, packages, make
        self.driver, self.kernel_type, self.size_mb = driver, kernel_type, size_mb
        self.needs_root = make is not None

    def missing_tools(self):
        needed = [self.make[0]] if self.make else ["rclone", "fusermount3"]
        needed += [self.driver[0]] if self.driver else []
        missing = [name for name in needed if tool(name) is None]
        uses_fuse = self.driver or not self.make
        return missing + ["/dev/fuse"] if uses_fuse and not os.access("/dev/fuse", os.W_OK) \
            else missing

    def create(self, work):
        self.mount_point = os.path.join(work, self.name, "mount")
        self.source = os.path.join(work, self.name, "source")
        os.makedirs(self.mount_point)
        if self.make:
            self.image = os.path.join(work, self.name, "image")
            with open(self.image, "wb") as image:
                image.truncate(self.size_mb << 20)
            run(*self.make, self.image)
        else:
            os.makedirs(self.source)

    def mount(self):
        if self.kernel_type:
            run("mount", "-t", self.kernel_type, "-o", "loop", self.image, self.mount_point)
        elif self.driver:
            device = run("losetup", "--find", "--show", self.image)
            try:
                run(*self.driver, device, self.mount_point)
            finally:
                # Detached once the driver lets go of it, whatever ends the run.
                subprocess.run(["losetup", "--detach", device], capture_output=True)
        else:
            with open(self.source + ".log", "ab") as log:
                self.rclone = subprocess.Popen(
                    ["rclone", "--config", os.devnull, "mount", self.source, self.mount_point],
                    stdout=log, stderr=log, start_new_session=True)
        try:
            wait_until(lambda: is_mounted(self.mount_point), f"{self.name} was not mounted")
        except RowFailed as error:
            if self.make:
                raise
            with open(self.source + ".log") as log:
                raise RowFailed(f"{error}: {log.read()[-300:].strip()}") from None

    def unmount(self):
        if is_mounted(self.mount_point):
            command = ["umount"] if os.geteuid() == 0 else ["fusermount3", "-u"]
            if subprocess.run(command + [self.mount_point], capture_output=True).returncode:
                subprocess.run(command + ["-l" if os.geteuid() == 0 else "-z", self.mount_point],
                               capture_output=True)
        if getattr(self, "rclone", None) is not None:
            try:
                self.rclone.wait(WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                os.killpg(self.rclone.pid, signal.SIGKILL)
                self.rclone.wait()
            self.rclone = None
        if self.make:
            wait_until(lambda: not self.loop_devices(), f"{self.name}'s loop device was not freed")

    def loop_devices(self):
        return subprocess.run(["losetup", "--associated", self.image], capture_output=True,
                              text=True).stdout.strip()

    def files_on_disk(self):
        folder = os.path.join(self.source if not self.make else self.mount_point, "pages")
        files = {}
        for name in os.listdir(folder):
            with open(os.path.join(folder, name), "rb") as file:
                files[name] = file.read()
        return files


ROWS = [
    Row("ext4", "e2fsprogs", ["mkfs.ext4", "-q", "-F"], kernel_type="ext4"),
    Row("xfs", "xfsprogs", ["mkfs.xfs", "-q", "-f"], kernel_type="xfs", size_mb=300),
    Row("btrfs", "btrfs-progs", ["mkfs.btrfs", "-q", "-f"], kernel_type="btrfs", size_mb=128),
    Row("exfat-fuse", "exfatprogs exfat-fuse", ["mkfs.exfat"], ["mount.exfat-fuse"]),
    Row("fusefat", "dosfstools fusefat", ["mkfs.fat", "-F", "32"], ["fusefat", "-o", "rw+"]),
    Row("ntfs-3g", "ntfs-3g", ["mkfs.ntfs", "-q", "-F", "-Q"], ["ntfs-3g"]),
    Row("rclone", "rclone fuse3"),
]


class Server:
    """The server in the mount, under strace where it is installed, so that
    each save's moves can be shown."""

    def __init__(self, binary, folder, log):
        self.log = log if tool("strace") else None
        trace = ["strace", "-f", "-qq", "-o", log, "-e", "trace=" + TRACED_CALLS]
        self.process = subprocess.Popen((trace if self.log else []) + [binary], cwd=folder,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        start_new_session=True)
        self.seen = self.requests = 0
        wait_until(listening, "the server did not listen")
        if self.log:
            self.seen = len(self.read_log())  # start-up's calls are no save's

    def calls_of_last_request(self):
        """The page-file calls since the last request, e.g. "renameat2 .new .txt EINVAL"."""
        if not self.log:
            return "(strace is not installed: calls not shown)"
        self.requests += 1
        wait_until(lambda: sum("shutdown(" in line for line in self.read_log()) >= self.requests,
                   "strace did not show the request")
        lines = self.read_log()
        shown = []
        for line in lines[self.seen:]:
            call = line.split("(", 1)[0].split()[-1]
            paths = [part for part in line.split('"')[1::2] if part.startswith("pages/")]
            if paths:
                failure = line.split("= -1 ", 1)[1].split()[0] if "= -1 " in line else ""
                names = " ".join(path[len("pages/home"):] for path in paths)
                shown.append(f"{call} {names} {failure}".strip())
        self.seen = len(lines)
        return ", ".join(shown) or "no moves"

    def read_log(self):
        with open(self.log) as log:
            return [line for line in log if "(" in line]

    def stop(self):
        if self.process.poll() is None:
            try:
                ask(b"/byebye")
                self.process.wait(WAIT_SECONDS)
            except (OSError, subprocess.TimeoutExpired):
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()


def check_files(row, expected, when):
    files = row.files_on_disk()
    if files != expected:
        shown = {name: text[:40] for name, text in files.items()}
        raise RowFailed(f"{when}: pages/ holds {shown}, not {sorted(expected)} as saved")


def save_on(row, binary, work):
    """Runs the four saves on the mounted row; returns each save's calls."""
    notes = []
    server = Server(binary, row.mount_point, os.path.join(work, row.name, "strace.log"))
    try:
        for what, text, view, files in SAVES:
            answer = ask(b"/save/home?data=" + urllib.parse.quote_plus(text).encode() + b"&eof=1")
            notes.append(f"  {what}: {server.calls_of_last_request()}")
            if answer != reply(b"<b>Page saved!</b> - " + NAVIGATION + view):
                shown = answer[len(STATUS_AND_HEADER):][:200]
                raise RowFailed(f"{what}: the save answered {shown!r}")
            if ask(b"/wiki/home") != reply(NAVIGATION + view):
                raise RowFailed(f"{what}: the view does not show the text saved")
            server.calls_of_last_request()
            check_files(row, files, what)
    finally:
        server.stop()
    return notes


def run_row(row, binary, work):
    row.create(work)
    row.mount()
    try:
        notes = save_on(row, binary, work)
        row.unmount()
        row.mount()
        check_files(row, SAVES[-1][3], "after a remount")
    finally:
        row.unmount()
    return notes


def enter_namespaces():
    """As root: again, inside private mount, PID and network namespaces."""
    if tool("unshare") is None or tool("ip") is None:
        print("FAILED: the namespaces need unshare (util-linux) and ip (iproute2)")
        sys.exit(1)
    command = ["unshare", "--mount", "--net", "--pid", "--fork", "--kill-child=SIGTERM",
               "--mount-proc", sys.executable, os.path.abspath(__file__)] + sys.argv[1:]
    os.execvpe("unshare", command, dict(os.environ, **{INSIDE: "1"}))


def interrupted(number, frame):
    raise Interrupted(signal.Signals(number).name)


def main():
    if len(sys.argv) != 2 or not os.access(sys.argv[1], os.X_OK):
        print(f"FAILED: usage: {sys.argv[0]} SERVER (the server binary, built)")
        return 1
    binary = os.path.abspath(sys.argv[1])
    root = os.geteuid() == 0
    if root and not os.environ.get(INSIDE):
        enter_namespaces()
    if root:
        run("ip", "link", "set", "lo", "up")
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, interrupted)
    if listening():
        print(f"FAILED: something else listens on port {PORT}")
        return 1

    failed, left_out = set(), []
    work = tempfile.mkdtemp(prefix="quillet-fs-")
    try:
        for row in ROWS:
            missing = row.missing_tools()
            if row.needs_root and not root:
                left_out.append(f"{row.name}: needs root (loop devices and mount)")
            elif missing:
                failed.add(row.name)
                print(f"FAILED {row.name}: {', '.join(missing)} not installed "
                      f"(apt-get install {row.packages})")
            else:
                try:
                    notes = run_row(row, binary, work)
                    print(f"ok {row.name}: every save stored, shown and kept; its calls:")
                    print("\n".join(notes))
                except (RowFailed, OSError, subprocess.TimeoutExpired) as error:
                    failed.add(row.name)
                    print(f"FAILED {row.name}: {error}")
    except Interrupted as signal_name:
        print(f"FAILED: interrupted by {signal_name}")
        return 1
    finally:
        for row in ROWS:
            if hasattr(row, "mount_point"):
                try:
                    row.unmount()
                except RowFailed as error:
                    print(f"FAILED {row.name}: {error}")
                    failed.add(row.name)
        shutil.rmtree(work, ignore_errors=True)
    for reason in left_out:
        print(f"left out {reason}")
    print(f"rows passed: {len(ROWS) - len(left_out) - len(failed)}, failed: {len(failed)}, "
          f"left out (not run): {len(left_out)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
