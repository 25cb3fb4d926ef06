#!/usr/bin/env python3
"""Decodes a capture of kestrix_capture_scenario with the dissector and checks
every telegram: names, IDs and payload fields, request/confirmation links,
checksum marks, the flagged frames, and that tshark met no Lua error and no
malformed packet. With --same-as, a second capture of the same run (for
example from tcpdump) must decode to the same telegrams.

    check_capture.py --lua kestrix.lua CAPTURE.pcap [--same-as OTHER.pcap]
"""
import argparse
import subprocess
import sys
import xml.etree.ElementTree as ET

TSHARK_TIMEOUT_S = 120


class Failures:
    def __init__(self, label):
        self.label = label
        self.messages = []

    def check(self, ok, message):
        if not ok:
            self.messages.append(f"{self.label}: {message}")
        return ok


class Telegram:
    """One decoded telegram with the frame and TCP stream it came in."""

    def __init__(self, frame, stream, reassembled, from_client, proto):
        self.frame = frame
        self.stream = stream
        self.reassembled = reassembled
        self.from_client = from_client
        self.values = {}
        self.raw = {}
        for field in proto.iter("field"):
            name = field.get("name")
            if name and name not in self.values:
                self.values[name] = field.get("show")
                self.raw[name] = field.get("value")

    def get(self, name):
        return self.values.get(name)

    def number(self, name):
        value = self.get(name)
        return int(value, 0) if value is not None else None

    def has(self, name):
        return name in self.values

    @property
    def name(self):
        return self.get("kestrix.name")

    @property
    def confirmation(self):
        return self.get("kestrix.code.confirmation") == "1"

    @property
    def id(self):
        value = self.get("kestrix.id")
        return int(value) if value is not None else None

    def key(self):
        return (self.stream, self.from_client, self.name, self.confirmation, self.id, self.get("kestrix.length"),
                self.get("kestrix.checksum.status"), self.number("kestrix.result"))

    def __repr__(self):
        return f"frame {self.frame} stream {self.stream}: {self.name}{' cnf' if self.confirmation else ''} id={self.id}"


def run_tshark(args, failures):
    run = subprocess.run(args, capture_output=True, text=True, timeout=TSHARK_TIMEOUT_S)
    failures.check(run.returncode == 0, f"tshark exited with {run.returncode}: {run.stderr.strip()}")
    for line in run.stderr.splitlines():
        failures.check("Running as user" in line, f"tshark said: {line}")
    return run.stdout


def decode(tshark, lua, pcap, failures, checksums):
    base = [tshark, "-n", "-2", "-X", f"lua_script:{lua}", "-r", pcap]
    # Checked segments with bad checksums are not reassembled, and the
    # loopback interface leaves TCP checksums to a NIC it does not have.
    checks = ["-o", "ip.check_checksum:TRUE", "-o", "tcp.check_checksum:TRUE"] if checksums else []
    root = ET.fromstring(run_tshark(base + checks + ["-T", "pdml"], failures))
    telegrams = []
    server_port = None
    for packet in root.iter("packet"):
        fields = {}
        for field in packet.iter("field"):
            fields.setdefault(field.get("name"), field.get("show"))
        frame = int(fields["frame.number"])
        # Also the hidden marks that experts of the malformed group leave.
        for proto in packet.iter("proto"):
            failures.check(proto.get("name") != "_ws.malformed", f"frame {frame} is malformed")
        failures.check("_ws.lua.error" not in fields, f"frame {frame}: Lua error {fields.get('_ws.lua.error')}")
        failures.check(fields.get("ip.checksum.status") != "0", f"frame {frame}: bad IP checksum")
        failures.check(fields.get("tcp.checksum.status") != "0", f"frame {frame}: bad TCP checksum")
        if "tcp.stream" not in fields:
            continue
        if fields.get("tcp.flags.syn") == "1" and fields.get("tcp.flags.ack") == "0":
            server_port = fields["tcp.dstport"]
        reassembled = "tcp.reassembled.length" in fields
        for proto in packet.findall("proto"):
            if proto.get("name") == "kestrix":
                # Only the first telegram of a frame can be the reassembled one.
                telegrams.append(Telegram(frame, int(fields["tcp.stream"]), reassembled,
                                          fields["tcp.dstport"] == server_port, proto))
                reassembled = False
    info = {}
    for line in run_tshark(base + ["-T", "fields", "-e", "frame.number", "-e", "_ws.col.Info"], failures).splitlines():
        number, _, text = line.partition("\t")
        info[int(number)] = text
    return telegrams, info


def find(telegrams, stream, name, id, confirmation=False):
    for t in telegrams:
        if t.stream == stream and t.name == name and t.id == id and t.confirmation == confirmation:
            return t
    return None


def check_pair(f, telegrams, stream, name, id):
    """The request and its confirmation, linked both ways."""
    request = find(telegrams, stream, name, id)
    confirmation = find(telegrams, stream, name, id, True)
    if not f.check(request and confirmation, f"stream {stream}: no {name} id={id} request and confirmation"):
        return None, None
    f.check(request.get("kestrix.response_in") == str(confirmation.frame), f"{request}: response link")
    f.check(confirmation.get("kestrix.request_in") == str(request.frame), f"{confirmation}: request link")
    f.check(confirmation.has("kestrix.time"), f"{confirmation}: no time since request")
    return request, confirmation


def check_library_stream(f, telegrams, info):
    order = [("Connect", 1), ("SetGlobals", 2), ("GetGlobals", 3), ("DataReq", 4), ("DeviceInfo", 5),
             ("DeviceStatus", 6), ("SequenceReq", 7), ("WriteDigital", 8), ("ReadDigital", 9),
             ("SetGlobals", 10), ("Disconnect", 0)]
    requests = [(t.name, t.id) for t in telegrams if t.stream == 0 and t.from_client and not t.confirmation]
    f.check(requests == order, f"library requests {requests}")
    pairs = {(name, id): check_pair(f, telegrams, 0, name, id) for name, id in order}
    for (name, id), (request, confirmation) in pairs.items():
        if not confirmation:
            continue
        f.check(request.get("kestrix.checksum.status") == "1" and confirmation.get("kestrix.checksum.status") == "1",
                f"{request}: checksum not marked good")
        if id != 10:
            f.check(confirmation.number("kestrix.result") == 0 and confirmation.get("kestrix.result.text") == "no error",
                    f"{confirmation}: result {confirmation.get('kestrix.result')}")
    req, cnf = pairs[("SetGlobals", 2)]
    if req:
        f.check([req.get(n) for n in ("kestrix.globals.baudrate", "kestrix.globals.signal_level",
                                      "kestrix.globals.aux_voltage", "kestrix.globals.clock_mode")]
                == ["2000000", "1", "2", "3"], f"{req}: bus settings")
    req, cnf = pairs[("GetGlobals", 3)]
    if cnf:
        f.check(cnf.get("kestrix.globals.baudrate") == "2000000" and cnf.get("kestrix.globals.clock_mode") == "3",
                f"{cnf}: bus settings")
    req, cnf = pairs[("DataReq", 4)]
    if cnf:
        f.check(req.raw.get("kestrix.transfer.write") == "9f000000", f"{req}: write data")
        f.check(cnf.raw.get("kestrix.transfer.read") == "ffef4018", f"{cnf}: read data")
        f.check(info.get(req.frame) == "DataReq id=4 len=4", f"{req}: Info {info.get(req.frame)!r}")
        f.check(info.get(cnf.frame) == "DataReq cnf id=4 rc=0 (no error)", f"{cnf}: Info {info.get(cnf.frame)!r}")
    req, cnf = pairs[("DeviceInfo", 5)]
    if cnf:
        f.check(cnf.get("kestrix.info.serial") == "0x00012345" and cnf.get("kestrix.info.device_type") == "3"
                and cnf.get("kestrix.info.flash_size") == "16777216", f"{cnf}: information record")
    req, cnf = pairs[("DeviceStatus", 6)]
    if cnf:
        f.check((cnf.get("kestrix.status") or "").startswith("simulated gateway, firmware 1.0"), f"{cnf}: status text")
    req, cnf = pairs[("SequenceReq", 7)]
    if cnf:
        f.check(req.raw.get("kestrix.sequence") == "0104009f00000004", f"{req}: sequence")
        f.check((cnf.raw.get("kestrix.sequence.answer") or "").startswith("ffef4018"), f"{cnf}: sequence answer")
    req, cnf = pairs[("WriteDigital", 8)]
    if req:
        f.check(req.get("kestrix.digital.output_bits") == "0x00000005", f"{req}: output bits")
    req, cnf = pairs[("ReadDigital", 9)]
    if cnf:
        f.check(cnf.get("kestrix.digital.second") == "0x00000005" and cnf.has("kestrix.digital.first"),
                f"{cnf}: digital words")
    req, cnf = pairs[("SetGlobals", 10)]
    if cnf:
        f.check(cnf.number("kestrix.result") == 0x20 and cnf.number("kestrix.result.code") == 0x320
                and cnf.get("kestrix.result.text") == "SPI inconsistent telegram data"
                and cnf.has("kestrix.result.failed"), f"{cnf}: rejected settings")
        f.check(info.get(cnf.frame) == "SetGlobals cnf id=10 rc=0x20 (SPI inconsistent telegram data)",
                f"{cnf}: Info {info.get(cnf.frame)!r}")
    alive = [t for t in telegrams if t.stream == 0 and t.name == "Alive" and not t.confirmation]
    if f.check(alive, "no alive request from the gateway"):
        f.check(all(not t.from_client and t.get("kestrix.alive.interval") == "150" for t in alive), "alive requests")
        check_pair(f, telegrams, 0, "Alive", alive[0].id)


def check_raw_stream(f, telegrams, info):
    for name, id in [("Connect", 1), ("GetGlobals", 2), ("ReadDigital", 3), ("DataReq", 4), ("DeviceStatus", 5),
                     ("ReadDigital", 7), ("Unknown 0x99", 8), ("Disconnect", 0)]:
        check_pair(f, telegrams, 1, name, id)
    first, second = find(telegrams, 1, "GetGlobals", 2), find(telegrams, 1, "ReadDigital", 3)
    if first and second:
        f.check(first.frame == second.frame, "coalesced requests are not in one frame")
        f.check("GetGlobals id=2 len=0; ReadDigital id=3 len=0" in info.get(first.frame, ""),
                f"coalesced Info {info.get(first.frame)!r}")
    for name, id in [("DataReq", 4), ("DeviceStatus", 5)]:
        split = find(telegrams, 1, name, id)
        if split:
            f.check(split.reassembled, f"{split}: not reassembled from segments")
    unanswered = find(telegrams, 1, "WriteDigital", 6)
    if f.check(unanswered, "no unanswered request"):
        f.check(unanswered.has("kestrix.unanswered") and not unanswered.has("kestrix.response_in"),
                f"{unanswered}: not marked unanswered")
    bad = find(telegrams, 1, "ReadDigital", 7, True)
    if bad:
        f.check(bad.get("kestrix.checksum.status") == "0" and bad.has("kestrix.checksum.bad"),
                f"{bad}: wrong checksum not flagged")
        f.check(info.get(bad.frame, "").endswith("[bad checksum]"), f"{bad}: Info {info.get(bad.frame)!r}")
    unknown = find(telegrams, 1, "Unknown 0x99", 8, True)
    if unknown:
        f.check(unknown.has("kestrix.code.unknown") and unknown.get("kestrix.result.text") == "Kestrix command failed",
                f"{unknown}: unknown command")


def check_dropped_streams(f, telegrams):
    bad = find(telegrams, 2, "DataReq", 2)
    if f.check(bad, "no request with a wrong checksum"):
        f.check(bad.get("kestrix.checksum.status") == "0" and bad.has("kestrix.checksum.bad")
                and bad.has("kestrix.unanswered"), f"{bad}: wrong checksum or missing answer not flagged")
    for stream, expert, length in [(3, "kestrix.length.short", "3"), (4, "kestrix.length.impossible", "65535")]:
        flagged = [t for t in telegrams if t.stream == stream and t.has(expert)]
        if f.check(len(flagged) == 1, f"stream {stream}: {expert} flagged {len(flagged)} times"):
            f.check(flagged[0].get("kestrix.length") == length, f"stream {stream}: length field")
        check_pair(f, telegrams, stream, "Connect", 1)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("capture")
    parser.add_argument("--lua", required=True)
    parser.add_argument("--tshark", default="tshark")
    parser.add_argument("--same-as", help="another capture of the same run, from the loopback interface")
    args = parser.parse_args()

    f = Failures(args.capture)
    telegrams, info = decode(args.tshark, args.lua, args.capture, f, checksums=True)
    f.check(len(telegrams) > 50, f"only {len(telegrams)} telegrams decoded")
    check_library_stream(f, telegrams, info)
    check_raw_stream(f, telegrams, info)
    check_dropped_streams(f, telegrams)
    if args.same_as:
        g = Failures(args.same_as)
        others, _ = decode(args.tshark, args.lua, args.same_as, g, checksums=False)
        f.messages += g.messages
        # Alive telegrams race a closing connection, so only the rest must agree.
        mine = [t.key() for t in telegrams if t.name != "Alive"]
        theirs = [t.key() for t in others if t.name != "Alive"]
        f.check(mine == theirs, f"decodes differently from {args.same_as}: "
                f"{[k for k in mine if k not in theirs][:5]} / {[k for k in theirs if k not in mine][:5]}")
    for message in f.messages[:40]:
        print(message, file=sys.stderr)
    print(f"{args.capture}: {len(telegrams)} telegrams, {len(f.messages)} problems")
    return 1 if f.messages else 0


if __name__ == "__main__":
    sys.exit(main())
