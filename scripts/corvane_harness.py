"""What the Python harnesses that run the servers on loopback share.

The soak test, the benchmarks (bench/*.py) and the Python tests (tests/metrics,
tests/package) each start a bundled gateway and servers: this module finds them
free ports, writes a server's configuration file, and drives a gateway that
reads its commands from standard input. Import it with

    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    import corvane_harness as harness
"""

import os
import socket
import subprocess
import sys
import time


def free_port(kind):
    """A port on 127.0.0.1 that was free a moment ago (kind: socket.SOCK_DGRAM or
    socket.SOCK_STREAM)."""
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def server_config(log_dir, gateway_port, media_port, listen="127.0.0.1", extra=""):
    """A server's configuration: logs in `log_dir`, the gateway on 127.0.0.1,
    media on `listen`:`media_port`, then the `extra` lines as they are."""
    return (f"log_file_path = {log_dir}/\n"
            f"gateway_address = 127.0.0.1:{gateway_port}\n"
            f"packet_listen_bgp_eth = {listen}\n"
            f"packet_listen_port = {media_port}\n" + extra)


def write_server_config(path, log_dir, gateway_port, media_port, listen="127.0.0.1", extra=""):
    """Writes server_config(...) to `path` (making `log_dir`) and returns `path`."""
    os.makedirs(log_dir, exist_ok=True)
    with open(path, "w") as f:
        f.write(server_config(log_dir, gateway_port, media_port, listen, extra))
    return path


class ScriptedGateway:
    """The bundled gateway listening on 127.0.0.1:`port` and reading commands from
    standard input; what it prints goes to the file `out`, which wait_for reads."""

    def __init__(self, binary, port, out, spawn=subprocess.Popen, timeout_ms=20000):
        self.out = out
        self.proc = spawn(
            [binary, "--listen", f"127.0.0.1:{port}", "--script", "-",
             "--timeout-ms", str(timeout_ms)],
            stdin=subprocess.PIPE, stdout=open(out, "w"), stderr=subprocess.STDOUT, text=True)

    def output(self):
        with open(self.out) as f:
            return f.read()

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self, kill):
        """Asks the gateway to quit; hands it to kill(proc) if it has not within 5 s."""
        if self.proc.poll() is not None:
            return
        try:
            self.send("quit")
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            kill(self.proc)

    def wait_for(self, predicate, what, seconds=30, check=None):
        """Waits until predicate(output) holds; raises RuntimeError after `seconds`.
        `check`, when given, is called on every round (to raise when a process the
        caller watches has died)."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            if predicate(self.output()):
                return
            if check is not None:
                check()
            time.sleep(0.02)
        raise RuntimeError(f"gateway: no {what} in {seconds} s; see {self.out}")


def main(argv):
    """For the shell scripts (scripts/demo and its siblings):
      corvane_harness.py port udp|tcp      prints a free port
      corvane_harness.py config PATH LOG_DIR GATEWAY_PORT MEDIA_PORT [LISTEN [LINE...]]
                                           writes a server's configuration, with the
                                           extra "key = value" LINEs at its end"""
    if len(argv) == 2 and argv[0] == "port" and argv[1] in ("udp", "tcp"):
        print(free_port(socket.SOCK_DGRAM if argv[1] == "udp" else socket.SOCK_STREAM))
        return 0
    if len(argv) >= 5 and argv[0] == "config":
        path, log_dir, gateway_port, media_port = argv[1:5]
        listen = argv[5] if len(argv) > 5 else "127.0.0.1"
        extra = "".join(line + "\n" for line in argv[6:])
        write_server_config(path, log_dir, gateway_port, media_port, listen, extra)
        return 0
    print(main.__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
