#!/usr/bin/python3
"""The commands README.md gives a user, and those scripts/run prints, run as
written against korvid: every indented `ip netns ...` line of README.md
(optionally fed by a `printf ... |`) and every `ip netns` line of the
run script's banner. Each runs in namespaces this test makes, its fixed names
(korvid-cam, korvid-host, hosteth) replaced by the test's own; the board
profile is the one whose serial the command's device id names (rk3588-gpixel
when it names none); the "Reach the camera" commands also run, in their
order and with its serial, on a board whose only stream is colour. Each
must end with status 0 and do what the README says it does, as far as a
host can tell: a feature written reads the value
written, unless the README shows the write refused, and then Aravis says
what the README says it does. The profiles the README names exist, the
settings those commands write hold after a restart until the README's way
back to the defaults is taken, and the image size a host wrote is set back
by the restart.

usage: e2e_readme.py KORVID_BINARY"""

import glob
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
from arvframe import read_png  # noqa: E402
from camns import CAM_ADDR, CameraNet, wait_for  # noqa: E402

KORVID = sys.argv[1] if len(sys.argv) > 1 else "korvid"
DEFAULT_PROFILE = "rk3588-gpixel"
# Seconds added to the streaming commands' fixed durations: a sanitized
# build on a busy host sends its first whole frame seconds later than the
# few a reader waits for. arv-camera-test cannot stop on a frame count.
STRETCH = 25
# The writes the README shows refused, and what Aravis then says.
REFUSED = {"ColourEncoding=H264": "GigEVision write_memory timeout"}
# The boards that stream encoded colour only, which Aravis does not assemble.
ENCODED_ONLY = ("rk3576-fh8320", "rk3576-sc2210")


def stretched(line):
    """The command with each acquisition and capture STRETCH seconds longer."""
    line = re.sub(r"--duration=(\d+)", lambda m: f"--duration={int(m.group(1)) + STRETCH}", line)
    return re.sub(r"-a duration:(\d+)", lambda m: f"-a duration:{int(m.group(1)) + STRETCH}", line)


# A shell's wait, bounded, until a packet socket is open in its namespace:
# tshark's capture, once tshark has loaded its dissectors, which on a busy
# host takes longer than a short stream lasts.
CAPTURE_OPEN = ("n=0; while [ $(wc -l </proc/net/packet) -lt 2 ] && [ $n -lt 600 ]; "
                "do sleep 0.1; n=$((n+1)); done;")


def after_capture(line):
    """The command with what it runs beside a capture (`A & tshark ...`)
    started only once the capture runs: else the capture may begin after
    the stream it is to show has ended."""
    return re.sub(r"'([^'&]+) & (tshark [^']*)'", lambda m: f"'{{ {CAPTURE_OPEN} {m.group(1)}; }} & {m.group(2)}'",
                  line)


def serials():
    """Board serial -> profile name, from the simulated board's profiles."""
    out = {}
    for path in glob.glob(os.path.join(TOP, "platform", "sim", "profiles", "*.ini")):
        with open(path) as f:
            m = re.search(r"^SERIAL=(\S+)", f.read(), re.M)
        if m:
            out[m.group(1)] = os.path.basename(path)[:-4]
    return out


def readme():
    with open(os.path.join(TOP, "README.md")) as f:
        return f.read()


def readme_commands():
    return [m.group(1).strip() for m in re.finditer(r"^ {4,}((?:printf [^|]*\| )?ip netns .*)$", readme(), re.M)]


def reach_commands():
    """The commands of "Reach the camera", in their order."""
    text = readme()
    section = text[text.index("### Reach the camera"):]
    section = section[:section.index("\n### ")]
    return [m.group(1).strip() for m in re.finditer(r"^ {4,}((?:printf [^|]*\| )?ip netns .*)$", section, re.M)]


def default_board_root():
    return "build/run/board-" + DEFAULT_PROFILE


def run_script_commands():
    """The commands the run script's banner shows, in the README's names."""
    with open(os.path.join(TOP, "scripts", "run")) as f:
        text = f.read()
    banner = text[text.index("cat <<INFO"):text.index("\nINFO\n")]
    devid = "Vornak-korvid-" + {v: k for k, v in serials().items()}[DEFAULT_PROFILE]
    out = []
    for m in re.finditer(r"((?:printf [^|]*\| )?\$\{S\}ip netns .*)$", banner, re.M):
        line = m.group(1).strip()
        for name, value in (("${S}", ""), ("$HOST", "korvid-host"), ("$CAM", "korvid-cam"), ("$DEVID", devid)):
            line = line.replace(name, value)
        out.append(line)
    return out


def profile_of(command, by_serial):
    m = re.search(r"Vornak-korvid-(\w+)", command)
    return by_serial[m.group(1)] if m else DEFAULT_PROFILE


class ReadmeCommands(unittest.TestCase):
    def test_every_script_the_readme_runs_is_executable(self):
        """The README runs the scripts it names by their path."""
        named = {m for m in re.findall(r"\b((?:scripts|bench)/[\w.-]+)", readme())
                 if os.path.isfile(os.path.join(TOP, m))}
        self.assertIn("bench/gvsp_vs_fake_camera.py", named)
        self.assertEqual([m for m in sorted(named) if not os.access(os.path.join(TOP, m), os.X_OK)], [])

    def test_every_profile_the_readme_names_exists(self):
        named = set(re.findall(r"`(rk\d{4}-\w+)`", readme()))
        self.assertGreaterEqual(len(named), 6, named)
        self.assertLessEqual(named, set(serials().values()))

    def test_every_readme_and_run_script_command_works_as_written(self):
        by_serial = serials()
        commands = list(dict.fromkeys(readme_commands() + run_script_commands()))
        self.assertGreaterEqual(len(commands), 8, commands)
        for c in commands:
            self.assertIn(profile_of(c, by_serial), by_serial.values(), c)
        by_profile = {}
        for c in commands:
            by_profile.setdefault(profile_of(c, by_serial), []).append(c)
        # On a board whose only stream is colour, "Reach the camera" run
        # in its order (after the board's own commands, colour on) shows
        # what the README says the board sends: a switch it makes before
        # the stream is received would leave nothing to receive.
        serial = {v: k for k, v in by_serial.items()}
        for profile in ENCODED_ONLY:
            if profile in by_profile:
                by_profile[profile] += [c.replace(serial[DEFAULT_PROFILE], serial[profile]) for c in reach_commands()]
        with tempfile.TemporaryDirectory(prefix="korvid-readme-") as cwd:
            # Commands run from a folder that looks like the repository
            # root, so the files they write stay out of the source tree.
            os.symlink(os.path.join(TOP, "tests"), os.path.join(cwd, "tests"))
            os.makedirs(os.path.join(cwd, "build", "run"))
            for profile, run in by_profile.items():
                with self.subTest(profile=profile):
                    self.run_profile(profile, run, cwd)

    def run_profile(self, profile, commands, cwd):
        # The stop command ends korvid: it comes last.
        commands.sort(key=lambda c: c.startswith("ip netns pids"))
        with CameraNet(f"r{os.getpid() % 100000}") as net:
            korvid = net.start_korvid_serving(KORVID, profile=profile)
            for command in commands:
                line = command.replace("korvid-host", net.host).replace("korvid-cam", net.cam)
                line = line.replace("hosteth", net.host_if)
                line = after_capture(stretched(line))
                r = subprocess.run(["sh", "-c", line], cwd=cwd, capture_output=True, timeout=180)
                out = r.stdout.decode(errors="replace") + r.stderr.decode(errors="replace")
                self.assertEqual(r.returncode, 0, f"{command}\n{out[-4000:]}")
                self.check(command, out, net, korvid, cwd)
            rc = korvid.returncode if korvid.poll() is not None else net.stop(korvid)
            if rc != 255:  # show what the sanitizers said
                with open(os.path.join(net.dir, "korvid.out"), errors="replace") as f:
                    sys.stderr.write(f.read()[-20000:])
            self.assertEqual(rc, 255)  # SIGTERM ends with the backtrace status
            if profile == DEFAULT_PROFILE:
                self.check_settings_kept_until_reset(net)

    def check_settings_kept_until_reset(self, net):
        """The switches the commands wrote hold after a restart; the README's
        removal of the saved block brings the defaults back."""
        switches = ["StreamColourEnable", "StreamAmplitudeEnable"]
        size = {"Width": "640", "Height": "480"}

        def read_switches():
            korvid = net.start_korvid_serving(KORVID)
            r = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", *switches, *size], timeout=60)
            self.assertEqual(net.stop(korvid), 255)
            return dict(re.findall(r"(?m)^(\w+) = (\d+)", r.stdout.decode(errors="replace")))

        self.assertEqual(read_switches(), {**{name: "0" for name in switches}, **size})
        m = re.search(r"`rm (%s/\S+)`" % re.escape(default_board_root()), readme())
        self.assertTrue(m, "no way back to the defaults in the README")
        os.remove(m.group(1).replace(default_board_root(), net.board_root(), 1))
        self.assertEqual(read_switches(), {**{name: "1" for name in switches}, **size})

    def check(self, command, out, net, korvid, cwd):
        """What a host notices of each kind of command."""
        msg = f"{command}\n{out[-4000:]}"
        if re.search(r"arv-tool-0.8$", command):
            self.assertRegex(out, r"Vornak-korvid-\w+ \(%s\)" % re.escape(CAM_ADDR), msg)
        if " control " in command:
            for feature in command.split(" control ")[1].split():
                name, _, value = feature.partition("=")
                if feature in REFUSED:
                    self.assertIn(REFUSED[feature], out, msg)
                    kept = net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", name]).stdout.decode()
                    self.assertRegex(kept, r"(?m)^%s = (?!%s\b)\S" % (name, value), msg)
                    continue
                self.assertNotIn("error", out, msg)
                self.assertRegex(out, r"(?m)^%s = %s" % (re.escape(name), re.escape(value) + r"\b" if value else r"\S"),
                                 msg)
        if "arv-camera-test-0.8" in command:
            counts = {k: int(v) for k, v in re.findall(r"(?m)^(n_\w+)\s*=\s*(\d+)", out)}
            if profile_of(command, serials()) in ENCODED_ONLY:
                # Nothing assembled: errors and missing packets, each second.
                self.assertEqual(counts.get("n_completed_buffers"), 0, msg)
                self.assertGreater(counts.get("n_failures", 0), 0, msg)
                self.assertGreater(counts.get("n_missing_packets", 0), 0, msg)
                self.assertRegex(out, r"0 frame/s .* [1-9]\d* errors", msg)
            else:
                self.assertGreater(counts.get("n_completed_buffers", 0), 0, msg)
        if "tshark" in command:
            # The encoded blocks' leaders, decoded, of GigE Vision's JPEG 2000 payload type.
            self.assertRegex(out, r"LEADER .*JPEG 2000", msg)
        for m in re.finditer(r"--(?:depth|view) (\S+)", command):
            # Pictures go where build output goes, not into the checkout.
            self.assertTrue(m.group(1).startswith("build/"), msg)
        m = re.search(r"--depth (\S+)", command)
        if m:
            width, height, depth, _ = read_png(os.path.join(cwd, m.group(1)))
            self.assertEqual((width, height, depth), (640, 480, 16), msg)
        m = re.search(r"--view (\S+)", command)
        if m:
            width, height, depth, samples = read_png(os.path.join(cwd, m.group(1)))
            self.assertEqual((width, height, depth), (640, 480, 8), msg)
            self.assertGreater(max(samples), 128, msg)  # near is bright
        if "9999" in command:
            # Debug level: the next control request leaves debug lines.
            self.assertTrue(wait_for(lambda: net.on_host(["arv-tool-0.8", "-a", CAM_ADDR, "control", "Width"])
                                     and "[debug]" in net.korvid_log(), 30, step=0.5), msg)
        if command.startswith("ip netns pids"):
            try:
                korvid.wait(30)
            except subprocess.TimeoutExpired:
                korvid.send_signal(signal.SIGKILL)
                self.fail("korvid did not end on the stop command")


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("needs root for network namespaces")
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v"])
