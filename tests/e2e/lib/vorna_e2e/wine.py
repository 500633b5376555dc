"""The shared Wine environment of a run, and running Windows programs in it."""
import atexit
import os
import subprocess
import tempfile

ENV_KEYS = ("VORNA_RUN_DIR", "WINEPREFIX", "WINEARCH", "WINEDEBUG", "WINEDLLOVERRIDES",
            "LC_ALL", "DISPLAY")


def required_path(name):
    value = os.environ.get(name)
    if not value:
        raise SystemExit(f"e2e: environment variable {name} is not set (CTest sets it)")
    if not os.path.exists(value):
        raise SystemExit(f"e2e: {name}={value} does not exist (build it first)")
    return value


def required_file(path):
    if not os.path.exists(path):
        raise SystemExit(f"e2e: {path} does not exist (build it first)")
    return path


def _harness_script():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.normpath(os.path.join(here, "..", "..", "..", "harness"))
    return os.path.join(os.environ.get("VORNA_HARNESS_DIR", default), "wine_env.sh")


def _load_env_file(path):
    # The file is written by wine_env.sh with shell quoting; let bash read it back.
    out = subprocess.run(["bash", "-c", '. "$1" && env -0', "_", path], check=True,
                         capture_output=True, timeout=30).stdout
    values = dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)
    for key in ENV_KEYS:
        if key in values:
            os.environ[key] = values[key]


def env_is_up(run_dir):
    """Whether a private X server and Wine environment are up in run_dir."""
    try:
        with open(os.path.join(run_dir, "xvfb.pid")) as f:
            os.kill(int(f.read().strip()), 0)
        return os.path.exists(os.path.join(run_dir, "wine.env"))
    except (OSError, ValueError):
        return False


class Wine:
    """Uses the run's environment when it is up (CTest's fixture brings it up); otherwise
    brings it up and takes it down again when the script ends."""

    def __init__(self):
        run_dir = os.environ.setdefault("VORNA_RUN_DIR", "/tmp/vorna-run")
        script = _harness_script()
        if not env_is_up(run_dir):
            subprocess.run(["bash", script, "up"], check=True, timeout=180,
                           stdin=subprocess.DEVNULL)
            atexit.register(subprocess.run, ["bash", script, "down"], timeout=60,
                            stdin=subprocess.DEVNULL)
        _load_env_file(os.path.join(run_dir, "wine.env"))
        # The journeys run once more under a locale whose ANSI code page is not 1251. Wine
        # takes the code pages from each process's own locale, so the shared prefix serves.
        locale = os.environ.get("VORNA_E2E_LOCALE")
        if locale:
            os.environ["LC_ALL"] = locale
        self.run_dir = run_dir

    @staticmethod
    def windows_path(path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def run(self, args, timeout=30, cwd=None, retry_unstarted=False):
        """Runs a Windows program to its end; returns (exit code, standard output bytes). The
        output goes through a file: a pipe from a wine program can stay open after it ends.
        What Wine wrote to standard error stays in `last_errors` until the next run.
        Under load Wine has, rarely, failed to start a program: exit 1 and no output at all.
        With `retry_unstarted`, for a program that always prints something, that is retried
        once."""
        for _ in range(2 if retry_unstarted else 1):
            with tempfile.TemporaryFile(dir=self.run_dir) as out, \
                    tempfile.TemporaryFile(dir=self.run_dir) as err:
                code = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=err, timeout=timeout, cwd=cwd).returncode
                out.seek(0)
                err.seek(0)
                output, self.last_errors = out.read(), err.read()
            if code != 1 or output:
                break
        return code, output

    def start(self, args, stdout_path, cwd=None):
        """Starts a Windows program with its standard output in `stdout_path`. The Popen's pid
        is the Windows process itself (wine execs into it), so killing it kills the program."""
        out = open(stdout_path, "wb")
        err = open(stdout_path + ".stderr", "wb")
        try:
            return subprocess.Popen(["wine", *args], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, cwd=cwd)
        finally:
            out.close()
            err.close()
