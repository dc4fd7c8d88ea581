#!/usr/bin/env python3
"""A rollout over three plants of simulated inverters with deploy/ansible/rollout.yml.

Two gateways are reached by Ansible's local connection, one over SSH to an sshd
started here on 127.0.0.1 with its own port, host key and user key. Each plant's
inverters are one updater-sim serving 127.0.0.1 ports. Usage: rollout_test.py BUILD_DIR
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
CLI = os.path.join(BUILD, "cli", "updater-cli")
SIM = os.path.join(BUILD, "sim", "updater-sim")
PLAYBOOK = os.path.join(ROOT, "deploy", "ansible", "rollout.yml")
tmp = tempfile.mkdtemp(prefix="rollout-test-")
processes = []
results = {"passed": 0, "failed": 0}


def check(what, ok, detail=""):
    results["passed" if ok else "failed"] += 1
    print(("ok      " if ok else "FAILED  ") + what + ("" if ok or not detail else "\n" + detail))
    sys.stdout.flush()


def start(args, out):
    p = subprocess.Popen(args, stdout=open(out, "w"), stderr=subprocess.STDOUT)
    processes.append(p)
    return p


def wait_for(what, test, seconds=10):
    for _ in range(seconds * 20):
        if test():
            return
        time.sleep(0.05)
    raise RuntimeError("never came: " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Plant:
    """One plant: a simulator serving its inverters, and its fleet file."""

    def __init__(self, name, devices, *faults):
        self.name, self.devices = name, devices
        self.out = os.path.join(tmp, name + ".sim")
        start([SIM, "--listen", "127.0.0.1:0", "--devices", str(devices), *faults], self.out)
        wait_for(name + "'s simulator", lambda: "devices on ports" in open(self.out).read())
        port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", open(self.out).read()).group(1))
        self.fleet = os.path.join(tmp, name + ".csv")
        with open(self.fleet, "w") as f:
            f.write("# " + name + "\nname,link\n")
            f.writelines("inv-%d,tcp:127.0.0.1:%d\n" % (k, port + k - 1) for k in range(1, devices + 1))

    def verdicts(self):
        """(device, kind, crc32, result) of each job the simulator judged, in order."""
        out, device, kind, crc = [], 0, "", ""
        for line in open(self.out):
            if m := re.match(r"device (\d+) ", line):
                device = int(m.group(1))
            elif line.startswith("verdict: "):
                kind, crc = line.split()[1].lower(), ""
            elif m := re.search(r"crc32 ([0-9A-F]{8})", line):
                crc = m.group(1)
            elif line.startswith("result: "):
                out.append((device, kind, crc, line.split()[1]))
        return out


def start_sshd():
    """An sshd of the test's own on 127.0.0.1: its own config, port and keys."""
    d = os.path.join(tmp, "ssh")
    os.makedirs(d)
    for key in ("host_key", "user_key"):
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", os.path.join(d, key)], check=True)
    shutil.copy(os.path.join(d, "user_key.pub"), os.path.join(d, "authorized_keys"))
    port = free_port()
    with open(os.path.join(d, "sshd_config"), "w") as f:
        f.write("\n".join([
            "Port %d" % port, "ListenAddress 127.0.0.1", "HostKey " + d + "/host_key",
            "PidFile " + d + "/sshd.pid", "AuthorizedKeysFile " + d + "/authorized_keys",
            "PasswordAuthentication no", "KbdInteractiveAuthentication no",
            "PermitRootLogin prohibit-password", "StrictModes no", "UsePAM no",
            "Subsystem sftp internal-sftp", ""]))
    with open(os.path.join(d, "known_hosts"), "w") as f:
        f.write("[127.0.0.1]:%d %s" % (port, open(os.path.join(d, "host_key.pub")).read()))
    os.makedirs("/run/sshd", exist_ok=True)  # where sshd drops its privileges
    start(["/usr/sbin/sshd", "-D", "-e", "-f", os.path.join(d, "sshd_config")], os.path.join(d, "sshd.log"))
    wait_for("sshd", lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0)
    return ("ansible_connection=ssh ansible_host=127.0.0.1 ansible_port=%d ansible_user=%s "
            "ansible_ssh_private_key_file=%s/user_key "
            "ansible_ssh_common_args='-o UserKnownHostsFile=%s/known_hosts -o StrictHostKeyChecking=yes'"
            % (port, os.environ.get("USER") or subprocess.check_output(["id", "-un"], text=True).strip(), d, d))


def inventory(name, hosts, group_vars=""):
    path = os.path.join(tmp, name + ".ini")
    with open(path, "w") as f:
        f.write("[sites]\n" + "\n".join(hosts) + "\n[sites:vars]\nansible_python_interpreter=/usr/bin/python3\n"
                "updater_cli=%s\nupdater_merge_cli=%s\nupdater_poll_interval=1\nupdater_restart_wait=1\n"
                "updater_work_dir=%s/gateways/{{ inventory_hostname }}\n%s" % (CLI, CLI, tmp, group_vars))
    return path


def rollout(inv, report_dir, *extra):
    args = ["ansible-playbook", "-i", inv, PLAYBOOK, "-e", "updater_report_dir=" + report_dir, *extra]
    begin = time.monotonic()
    p = subprocess.run(args, capture_output=True, text=True, env=dict(os.environ, ANSIBLE_NOCOLOR="1",
                       ANSIBLE_HOST_KEY_CHECKING="True", ANSIBLE_FORCE_COLOR="0"))
    with open(os.path.join(tmp, "ansible.log"), "a") as log:
        log.write(" ".join(args) + "\n" + p.stdout + p.stderr)
    return p.returncode, p.stdout + p.stderr, time.monotonic() - begin


def recap(output):
    """host -> (ok, changed, unreachable, failed) of the play's recap."""
    return {m.group(1): tuple(int(m.group(k)) for k in (2, 3, 4, 5)) for m in re.finditer(
        r"^(\S+)\s*: ok=(\d+)\s+changed=(\d+)\s+unreachable=(\d+)\s+failed=(\d+)", output, re.M)}


def main():
    lint = subprocess.run(["ansible-lint", "--nocolor", "-q"], cwd=os.path.dirname(PLAYBOOK),
                          capture_output=True, text=True)
    check("ansible-lint passes on deploy/ansible", lint.returncode == 0, lint.stdout + lint.stderr)

    with open(os.path.join(tmp, "dsp.bin"), "wb") as f:
        f.write(os.urandom(6000))
    subprocess.run(["objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", "0x10000",
                    tmp + "/dsp.bin", tmp + "/dsp.hex"], check=True)
    arm = os.urandom(10240)  # whole blocks: the simulator's image is the file itself
    arm_name = "lcd R&D <2>.bin"  # a name the page must show as text
    with open(os.path.join(tmp, arm_name), "wb") as f:
        f.write(arm)
    crc = {"dsp": "%08X" % zlib.crc32(open(tmp + "/dsp.bin", "rb").read()), "arm": "%08X" % zlib.crc32(arm)}
    firmware = ["-e", "updater_dsp_firmware=" + tmp + "/dsp.hex", "-e", json.dumps({"updater_arm_firmware": tmp + "/" + arm_name})]
    ssh = start_sshd()

    # plant-a's inverter 2 goes silent in the middle of its first DSP job; it is mended after.
    plants = [Plant("plant-a", 3, "--silent-once-from", "40@2"), Plant("plant-b", 4), Plant("plant-c", 3)]
    a, b, c = plants
    hosts = ["plant-a ansible_connection=local updater_fleet_file=" + a.fleet,
             "plant-b ansible_connection=local updater_fleet_file=" + b.fleet,
             "plant-c " + ssh + " updater_fleet_file=" + c.fleet]
    inv, reports = inventory("plants", hosts), os.path.join(tmp, "reports")

    # Refused before any inverter is contacted: each plant fails alone with its cause.
    bad = inventory("bad", [
        "no-firmware ansible_connection=local updater_fleet_file=%s updater_dsp_firmware=%s/none.hex" % (a.fleet, tmp),
        "bad-row ansible_connection=local updater_fleet_file=" + os.path.join(tmp, "bad.csv"),
        "no-gateway ansible_connection=ssh ansible_host=127.0.0.1 ansible_port=%d updater_fleet_file=%s"
        % (free_port(), b.fleet)], "updater_dsp_firmware=%s/dsp.hex\n" % tmp)
    with open(os.path.join(tmp, "bad.csv"), "w") as f:
        f.write(open(a.fleet).read() + "inv-9,tcp:127.0.0.300\n")
    status, out, _ = rollout(bad, os.path.join(tmp, "bad-reports"), "-e",
                             json.dumps({"updater_batch": ["100%"], "updater_max_fail_percentage": 100}))
    r = recap(out)
    check("each refused plant fails its host", status != 0 and all(r.get(h, (0, 0, 0, 0))[3] + r.get(h, (0, 0, 0, 0))[2] == 1
          for h in ("no-firmware", "bad-row", "no-gateway")), out)
    for host, cause in (("no-firmware", "DSP firmware " + tmp + "/none.hex: no such file on the controller"),
                        ("bad-row", "bad.csv:6: link \\\"tcp:127.0.0.300\\\""),
                        ("no-gateway", "Connection refused")):
        check(host + " fails naming its cause", re.search(r"\[%s\].*%s" % (host, re.escape(cause)), out) is not None, out)
    check("no inverter was contacted", a.verdicts() == [] and b.verdicts() == [], out)

    # The first plant fails: the batches after it are not started.
    status, out, _ = rollout(inv, reports, *firmware, "-e", json.dumps({"updater_batch": [1, "100%"]}))
    check("a plant whose inverter goes silent fails its host",
          status != 0 and recap(out).get("plant-a", (0,) * 4)[3] == 1 and "plant-b" not in recap(out), out)
    check("the failed plant's verdict names the inverter and its step",
          re.search(r"plant-a: 1 of 3 inverters failed: inv-2 \(127\.0\.0\.1:\d+\): time-out at dsp programming", out)
          is not None, out)
    check("the failed inverter's trace is kept", os.path.exists(reports + "/plant-a/traces/inv-2.trace"))
    check("the plants after it are not started", b.verdicts() == [] and c.verdicts() == [])
    first = a.verdicts()
    check("plant-a's other inverters are written", sorted(v[:2] for v in first if v[3] == "PASS")
          == [(1, "arm"), (1, "dsp"), (3, "arm"), (3, "dsp")], str(first))

    # The re-run writes the mended inverter only, then the plants that were not reached.
    status, out, seconds = rollout(inv, reports, *firmware)
    check("the re-run succeeds on every plant", status == 0, out)
    check("plant-a's re-run writes inverter 2 only", [v[:2] for v in a.verdicts()[len(first):]]
          == [(2, "dsp"), (2, "arm")], str(a.verdicts()))
    for p in plants:
        last = {}
        for device, kind, got, result in p.verdicts():
            last[device, kind] = (got, result)
        check(p.name + ": every image is exact at the simulator", all(
              last.get((k, kind)) == (crc[kind], "PASS") for k in range(1, p.devices + 1) for kind in crc), str(last))
    merged = json.load(open(reports + "/all-sites.json"))
    wanted = [(p.name, "inv-%d" % k) for p in plants for k in range(1, p.devices + 1)]
    check("the merged report holds every inverter of every plant",
          [(d["site"], d["name"]) for d in merged["devices"]] == wanted, json.dumps(merged["devices"]))
    # Written in the re-run: "success"; a device that got no byte: "already written".
    written = {(p.name, "inv-%d" % v[0]) for p, n in zip(plants, [len(first), 0, 0]) for v in p.verdicts()[n:]}
    check("the merged report says what each simulator saw", [d["outcome"] for d in merged["devices"]]
          == ["success" if w in written else "already written" for w in wanted] and merged["exitStatus"] == 0,
          json.dumps(merged["devices"]))
    page = open(reports + "/all-sites.html").read()
    check("the page names every inverter", all(
          re.search(r"<td>%s</td><td>%s</td>" % (s, n), page) for s, n in wanted))
    check("the page loads nothing from elsewhere", re.search(r"<script|<link|@import|url\(|src=", page) is None)
    check("the page shows a file name as text", "lcd R&amp;D &lt;2&gt;.bin" in page and "<2>" not in page)
    per_plant = seconds / len(plants)

    # Run again: nothing changes and no inverter is contacted.
    before = [len(p.verdicts()) for p in plants]
    status, out, _ = rollout(inv, reports, *firmware)
    r = recap(out)
    check("a second run changes nothing", status == 0 and len(r) == 3 and all(v[1] == 0 for v in r.values()), out)
    check("a second run contacts no inverter", [len(p.verdicts()) for p in plants] == before)

    # A dry run with another firmware: it lists what it would send and contacts nothing.
    with open(os.path.join(tmp, "dsp2.hex"), "w", newline="") as f:
        f.write(open(tmp + "/dsp.hex", newline="").read().replace(":00000001FF", ":020000040000FA\r\n:0100000001FE\r\n:00000001FF"))
    status, out, _ = rollout(inv, reports, "-e", "updater_dsp_firmware=" + tmp + "/dsp2.hex",
                             "-e", "updater_check_only=true")
    check("a dry run checks every plant and contacts no inverter", status == 0 and out.count(
          ": checked, nothing contacted") == 3 and out.count("dsp2.hex (") == 10
          and [len(p.verdicts()) for p in plants] == before, out)
    print("rollout: %.1f s per plant (3 plants)" % per_plant)


try:
    main()
except Exception as e:  # a step that could not run is a failure, not a crash of the test
    check("the rollout test ran to its end", False, repr(e))
finally:
    for p in processes:
        p.terminate()
        p.wait()
    if results["failed"] == 0 and not os.environ.get("ROLLOUT_KEEP"):
        shutil.rmtree(tmp, ignore_errors=True)
    else:
        print("kept for a look: " + tmp)
print("rollout: %d passed, %d failed" % (results["passed"], results["failed"]))
sys.exit(1 if results["failed"] else 0)
