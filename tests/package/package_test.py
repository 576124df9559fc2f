#!/usr/bin/env python3
"""What an operator installs: `cmake --install` lays out the servers, tools,
configurations and systemd units, the units pass `systemd-analyze verify`, and
the Debian package made by cpack unpacks into a tree whose forwarding server
registers with the bundled gateway.

    package_test.py BUILD_DIR
"""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
from corvane_harness import free_port  # noqa: E402

BUILD = None
PROGRAMS = ("corvane-sfu-server", "corvane-mfu-server")
TOOLS = ("corvane-gateway", "corvane-client")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **kwargs)


class InstallTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="corvane-package-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def test_install_lays_out_programs_configurations_and_verified_units(self):
        prefix = os.path.join(self.dir, "inst")
        done = run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.assertEqual(done.returncode, 0, done.stderr)
        for program in PROGRAMS + TOOLS:
            self.assertTrue(os.access(os.path.join(prefix, "bin", program), os.X_OK), program)
            page = os.path.join(prefix, "share", "man", "man1", program + ".1.gz")
            self.assertTrue(os.path.isfile(page), page)
            if shutil.which("man") is None:
                continue
            shown = run(["man", "--warnings", "-l", page], env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(shown.returncode, 0, shown.stderr)
            self.assertEqual(shown.stderr, "", program)
            self.assertIn("NAME", shown.stdout)
        self.assertTrue(os.path.isfile(os.path.join(prefix, "etc", "corvane", "corvane-rules.yml")))
        units = []
        for program in PROGRAMS:
            config = os.path.join(prefix, "etc", "corvane", program + ".conf")
            with open(config) as f:
                self.assertIn("\nlog_file_path = /var/log/corvane/\n", f.read())
            unit = os.path.join(prefix, "lib", "systemd", "system", program + ".service")
            with open(unit) as f:
                text = f.read()
            self.assertIn(f"ExecStart={prefix}/bin/{program} -q -c {config}\n", text)
            self.assertIn(f"ExecStartPre={prefix}/bin/{program} -t -q -c {config}\n", text)
            for setting in ("DynamicUser=yes", "LogsDirectory=corvane", "Restart=on-failure",
                            "LimitNOFILE=65536"):
                self.assertIn(setting + "\n", text)
            units.append(unit)
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze is not installed")
        verified = run(["systemd-analyze", "verify"] + units)
        self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
        self.assertEqual(verified.stderr.strip(), "", verified.stderr)

    def test_installed_tmpfiles_rule_removes_only_old_log_files(self):
        prefix = os.path.join(self.dir, "inst")
        done = run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.assertEqual(done.returncode, 0, done.stderr)
        rule = os.path.join(prefix, "lib", "tmpfiles.d", "corvane.conf")
        with open(rule) as f:
            self.assertIn("e /var/log/private/corvane - - - m:14d\n", f.read())
        if shutil.which("systemd-tmpfiles") is None:
            self.skipTest("systemd-tmpfiles is not installed")
        # A root as DynamicUser lays it out: the real directory and a link to it.
        root = os.path.join(self.dir, "root")
        logs = os.path.join(root, "var", "log", "private", "corvane")
        os.makedirs(logs)
        os.symlink("private/corvane", os.path.join(root, "var", "log", "corvane"))
        old = os.path.join(logs, "corvane-sfu-server20200101-42.log.info")
        recent = os.path.join(logs, "corvane-sfu-server20200112-42.log.info")
        for path, days in ((old, 15), (recent, 13)):
            with open(path, "w") as f:
                f.write("x\n")
            written = time.time() - days * 86400
            os.utime(path, (time.time(), written))  # read today, written days ago
        cleaned = run(["systemd-tmpfiles", "--clean", "--root", root, rule])
        self.assertEqual(cleaned.returncode, 0, cleaned.stderr)
        self.assertEqual(cleaned.stderr, "")
        self.assertEqual(os.listdir(logs), [os.path.basename(recent)])

    def build_package(self):
        if shutil.which("dpkg-deb") is None:
            self.skipTest("dpkg-deb is not installed")
        packages = os.path.join(self.dir, "packages")
        done = run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-G", "DEB",
                    "-B", packages])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        debs = [f for f in os.listdir(packages) if f.endswith(".deb")]
        self.assertEqual(len(debs), 1, os.listdir(packages))
        return os.path.join(packages, debs[0])

    def test_debian_package_passes_lintian(self):
        deb = self.build_package()
        if shutil.which("lintian") is None:
            self.skipTest("lintian is not installed")
        # Errors and warnings only: the informational tags left are listed in README.
        checked = run(["lintian", "--fail-on", "error,warning", deb])
        complaints = [line for line in checked.stdout.splitlines()
                      if line.startswith(("E:", "W:"))]
        self.assertEqual(complaints, [], checked.stdout + checked.stderr)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

        root = os.path.join(self.dir, "root")
        self.assertEqual(run(["dpkg-deb", "-x", deb, root]).returncode, 0)
        doc = os.path.join(root, "usr", "share", "doc", "corvane-media")
        self.assertEqual(sorted(os.listdir(doc)), ["README.md", "changelog.gz", "copyright"])
        man = os.path.join(root, "usr", "share", "man", "man1")
        self.assertEqual(sorted(os.listdir(man)),
                         sorted(p + ".1.gz" for p in PROGRAMS + TOOLS))

    def test_debian_package_unpacks_into_a_tree_whose_server_registers(self):
        deb = self.build_package()

        control = os.path.join(self.dir, "control")
        self.assertEqual(run(["dpkg-deb", "-e", deb, control]).returncode, 0)
        with open(os.path.join(control, "conffiles")) as f:
            self.assertEqual(sorted(f.read().split()),
                             ["/etc/corvane/corvane-mfu-server.conf",
                              "/etc/corvane/corvane-rules.yml",
                              "/etc/corvane/corvane-sfu-server.conf"])
        with open(os.path.join(control, "control")) as f:
            depends = re.search(r"^Depends: (.*)$", f.read(), re.M)
        self.assertIsNotNone(depends)
        self.assertIn("libisal2", depends.group(1))

        root = os.path.join(self.dir, "root")
        self.assertEqual(run(["dpkg-deb", "-x", deb, root]).returncode, 0)
        unit = os.path.join(root, "usr", "lib", "systemd", "system", "corvane-sfu-server.service")
        with open(unit) as f:
            self.assertIn("ExecStart=/usr/bin/corvane-sfu-server -q -c "
                          "/etc/corvane/corvane-sfu-server.conf\n", f.read())

        # The packaged configuration, pointed at this test's gateway, ports and logs.
        gateway_port = free_port(socket.SOCK_STREAM)
        logs = os.path.join(self.dir, "logs")
        os.makedirs(logs)
        with open(os.path.join(root, "etc", "corvane", "corvane-sfu-server.conf")) as f:
            config = f.read()
        overrides = {
            "log_file_path": logs + "/",
            "gateway_address": f"127.0.0.1:{gateway_port}",
            "packet_listen_bgp_eth": "127.0.0.1",
            "packet_listen_tel_eth": None,
            "packet_listen_rec_eth": None,
            "packet_listen_port": str(free_port(socket.SOCK_DGRAM)),
        }
        for key, value in overrides.items():
            config = re.sub(rf"^{key} = .*$\n?", "" if value is None else f"{key} = {value}\n",
                            config, flags=re.M)
        config_path = os.path.join(self.dir, "server.conf")
        with open(config_path, "w") as f:
            f.write(config)

        gateway = subprocess.Popen(
            [os.path.join(root, "usr", "bin", "corvane-gateway"), "--listen",
             f"127.0.0.1:{gateway_port}", "-e", "wait-servers 1 20000", "-e", "servers"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        server = subprocess.Popen(
            [os.path.join(root, "usr", "bin", "corvane-sfu-server"), "-q", "-c", config_path],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            output, _ = gateway.communicate(timeout=60)
            self.assertEqual(gateway.returncode, 0, output)
            self.assertIn("registered:", output)
            self.assertIn("forwarding server", output)
        finally:
            server.send_signal(signal.SIGTERM)
            _, errors = server.communicate(timeout=30)
        self.assertEqual(server.returncode, 0, errors)
        # -q: the log lines are in the files, not on stderr.
        self.assertNotIn("(service.cc:", errors)
        self.assertTrue(any(name.endswith(".log.info") for name in os.listdir(logs)))


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
