#!/usr/bin/env python3
"""Checks the runs of the QEMU stage: each run's response, its duration,
and what the guest's drivers programmed into the hardware, as QEMU's trace
shows it.

    check_wire.py FOLDER     (cases, console.log, trace.log, usb.arrivals)

The guest prints "@@RUN id@@" on its console (the first UART) before each
run and "@@END id ...@@" after it. The console's bytes show in the UART
trace too, which is how the trace is cut into runs: everything the serial
registers saw between two markers belongs to the run between them (the
console stays quiet meanwhile).
"""
import re
import sys

BAUD_BASE = 115200  # the emulated 16550's clock / 16
NORMAL_RUN_LIMIT = 3.0  # seconds: about 2.1 s each, with room for a busy host
USB_RATE_TOLERANCE = 0.01
PULSE_LIMIT = 0.05  # seconds DTR or RTS may be up at open, before being lowered
LCR_DLAB, LCR_STOP, LCR_PARITY, LCR_EVEN, LCR_STICK, LCR_BREAK = 0x80, 0x04, 0x08, 0x10, 0x20, 0x40
MCR_DTR_RTS = 0x03
FTDI_MODEM_CTRL, FTDI_SET_BAUD, FTDI_SET_DATA = 0x4001, 0x4003, 0x4004
FTDI_PARITY = {"N": 0, "O": 1, "E": 2, "M": 3, "S": 4}
FTDI_STOP = {"1": 0, "2": 2}

failures = []


def fail(case, message):
    failures.append(f"{case}: {message}")


def read_cases(path):
    fields = "id kind port baud data stop parity text expected".split()
    return [dict(zip(fields, line.split())) for line in open(path, encoding="latin-1") if line.strip()]


def read_console(path):
    """The runs' ends by case, and the check's report (None if it printed none)."""
    console = open(path, encoding="latin-1").read()
    ends = {}
    for match in re.finditer(r"@@END (\S+) status=(\d+) centiseconds=(\d+) usb=(\w+) response=([0-9a-f]*)@@",
                             console):
        case, status, centiseconds, usb, response = match.groups()
        ends[case] = {"status": int(status), "seconds": int(centiseconds) / 100, "usb": usb == "yes",
                      "response": bytes.fromhex(response)}
    check = re.search(r"@@CHECK status=(\d+) offered=(\S*)@@", console)
    return ends, check


TRACE_LINE = re.compile(r"^\d+@(\d+\.\d+):(\w+) (.*)$")


def read_trace(path):
    events = []
    for line in open(path, encoding="latin-1"):
        match = TRACE_LINE.match(line.strip())
        if match:
            events.append((float(match.group(1)), match.group(2), match.group(3)))
    return events


def read_arrivals(path):
    arrivals = {}
    for line in open(path, encoding="latin-1"):
        when, command = line.split(maxsplit=1)
        arrivals[command.strip() + "!"] = float(when)
    return arrivals


def register_write(event):
    match = re.match(r"write addr 0x([0-9a-f]+) val 0x([0-9a-f]+)", event[2])
    return (int(match.group(1), 16), int(match.group(2), 16)) if match else None


def usb_control(event):
    match = re.match(r"dev \S+ got control 0x([0-9a-f]+), value 0x([0-9a-f]+)", event[2])
    return (int(match.group(1), 16), int(match.group(2), 16)) if match else None


def split_runs(events):
    """Trace events per run, cut at the console's "@@RUN id@@" markers."""
    text, where = [], []
    for index, event in enumerate(events):
        write = register_write(event) if event[1] == "serial_write" else None
        if write and write[0] == 0:
            text.append(chr(write[1]))
            where.append(index)
    text = "".join(text)
    marks = [(m.group(1), where[m.end() - 1]) for m in re.finditer(r"@@RUN (\S+?)@@", text)]
    runs = {}
    for number, (case, start) in enumerate(marks):
        end = marks[number + 1][1] if number + 1 < len(marks) else len(events)
        runs[case] = events[start + 1:end]
    return runs


class ModemLines:
    """DTR and RTS through a run: the pulse at open, and any raise after it."""

    def __init__(self):
        self.up = False
        self.raised_at = None
        self.pulse = None
        self.raised_again = False

    def set(self, time, up):
        if up and self.pulse is not None:
            self.raised_again = True
        elif up and self.raised_at is None:
            self.raised_at = time
        elif not up and self.raised_at is not None and self.pulse is None:
            self.pulse = time - self.raised_at
        self.up = up

    def check(self, case):
        if self.raised_again:
            fail(case, "DTR or RTS raised again after being lowered")
        if self.raised_at is not None and self.pulse is None:
            fail(case, "DTR or RTS stayed up")
        if self.pulse is not None and self.pulse > PULSE_LIMIT:
            fail(case, f"DTR/RTS up {self.pulse * 1000:.2f} ms at open")


def check_uart(case, events):
    """The 16550's registers: framing, divisor, modem lines, bytes sent."""
    lcr, divisor, mcr = 0, [0, 0], None
    lines, sent, framing_at_first_byte = ModemLines(), [], None
    sent_with_lines_up = False
    writes = [(event[0], register_write(event)) for event in events if event[1] == "serial_write"]
    # The run ends with the close's write to the MCR; the console speaks after it.
    closed = max((n for n, (_, write) in enumerate(writes) if write and write[0] == 4), default=-1)
    for time, write in writes[:closed + 1]:
        if not write:
            continue
        register, value = write
        if register == 3:
            lcr = value
        elif register in (0, 1) and lcr & LCR_DLAB:
            divisor[register] = value
        elif register == 4:
            mcr = value
            lines.set(time, bool(value & MCR_DTR_RTS))
        elif register == 0 and mcr is not None:  # a byte of the order; the console is quiet
            if not sent:
                framing_at_first_byte = (lcr, divisor[0] | divisor[1] << 8)
            if lines.up and not sent_with_lines_up:
                fail(case, f"byte {len(sent)} sent with DTR/RTS up (MCR 0x{mcr:02x})")
                sent_with_lines_up = True  # once is enough
            sent.append(value)
    lines.check(case)
    return framing_at_first_byte, bytes(sent), lines.pulse


def expected_lcr(order):
    value = (int(order["data"]) - 5) | (LCR_STOP if order["stop"] == "2" else 0)
    parity = order["parity"].upper()
    if parity != "N":
        value |= LCR_PARITY | (LCR_EVEN if parity in "ES" else 0) | (LCR_STICK if parity in "MS" else 0)
    return value


def compare_uart_framing(case, order, framing):
    if framing is None:
        fail(case, "no byte of the order went out")
        return
    lcr, divisor = framing
    wanted = expected_lcr(order)
    # The 8250 driver sets the even-parity bit without parity too.
    mask = 0x07 | LCR_PARITY | LCR_DLAB | LCR_BREAK
    if order["parity"].upper() != "N":
        mask |= LCR_EVEN | LCR_STICK
    if lcr & mask != wanted & mask:
        fail(case, f"LCR 0x{lcr:02x} on the wire, 0x{wanted:02x} ordered")
    if divisor != round(BAUD_BASE / int(order["baud"])):
        fail(case, f"divisor {divisor} on the wire for {order['baud']} baud")


def check_usb(case, events, arrived):
    """The adapter's control requests: data format, rate, modem lines."""
    dtr_rts, lines, lines_up_when_order_arrived = 0, ModemLines(), None
    data_format, baud = None, None
    for time, name, detail in events:
        if name == "usb_serial_set_baud":
            baud = int(re.search(r"baud rate (\d+)", detail).group(1))
        control = usb_control((time, name, detail)) if name == "usb_serial_handle_control" else None
        if not control:
            continue
        request, value = control
        if arrived is not None and time > arrived and lines_up_when_order_arrived is None:
            lines_up_when_order_arrived = lines.up
        if request == FTDI_SET_DATA:
            data_format = value
        elif request == FTDI_MODEM_CTRL:
            for bit in (0, 1):  # DTR, RTS: each changes only where its mask bit says so
                if value & (0x100 << bit):
                    dtr_rts = dtr_rts & ~(1 << bit) | value & (1 << bit)
            lines.set(time, dtr_rts != 0)
    lines.check(case)
    if arrived is None:
        fail(case, "the order never reached the device")
    elif lines.raised_at is not None and arrived < lines.raised_at:
        fail(case, "the order reached the device before the port was opened")
    elif lines.up if lines_up_when_order_arrived is None else lines_up_when_order_arrived:
        fail(case, "the order went out with DTR/RTS up")
    return data_format, baud, lines.pulse


def compare_usb_framing(case, order, data_format, baud):
    if data_format is None:
        fail(case, "no data format was sent to the adapter")
        return
    wanted = int(order["data"]) | FTDI_PARITY[order["parity"].upper()] << 8 | FTDI_STOP[order["stop"]] << 11
    if data_format != wanted:
        fail(case, f"data format 0x{data_format:04x} on the wire, 0x{wanted:04x} ordered")
    # The adapter divides its clock too: 115200 comes out as 115384.
    if baud is None or abs(baud - int(order["baud"])) > int(order["baud"]) * USB_RATE_TOLERANCE:
        fail(case, f"{baud} baud on the wire, {order['baud']} ordered")


def main(folder):
    cases = read_cases(f"{folder}/cases")
    ends, check = read_console(f"{folder}/console.log")
    runs = split_runs(read_trace(f"{folder}/trace.log"))
    arrivals = {kind: read_arrivals(f"{folder}/{kind}.arrivals") for kind in ("uart", "usb")}
    normal = max((ends[c["id"]]["seconds"] for c in cases if c["id"] in ends and c["id"] != "uart-stalled-line"),
                 default=0)
    for order in cases:
        case = order["id"]
        if case not in ends or case not in runs:
            fail(case, "did not run (see the console)")
            continue
        end = ends[case]
        response = end["response"].decode("latin-1")
        if not response.startswith(order["expected"] + "|"):
            fail(case, f"response {response[:3]!r}, {order['expected']} expected")
        # The exit status is the result code; a sanitizer's report changes it.
        if end["status"] != int(order["expected"]):
            fail(case, f"exit status {end['status']}")
        reply = "PART" if order["text"] == "UNPLUG!" else "ACK:" + order["text"].rstrip("!")
        if order["expected"] == "000" and response != f"000|Sucesso\r\n{reply}\r\n":
            fail(case, f"reply {response!r}")
        limit = NORMAL_RUN_LIMIT
        if case == "uart-stalled-line":
            # The close waits for the queued text its line time plus 0.1 s, no more.
            line_time = len(order["text"]) * 10 / int(order["baud"])
            limit = normal + line_time + 0.1 + 0.3
        if end["seconds"] > limit:
            fail(case, f"run took {end['seconds']:.2f} s, limit {limit:.2f} s")
        if end["usb"] != (case != "usb-unplugged-mid-run"):
            fail(case, "the adapter was " + ("still there" if end["usb"] else "gone"))
        pulse = None
        if order["expected"] == "003":
            if order["text"] in arrivals.get(order["kind"], {}):
                fail(case, "the order went out on a line set otherwise")
        elif order["kind"] == "uart":
            framing, sent, pulse = check_uart(case, runs[case])
            compare_uart_framing(case, order, framing)
            text = order["text"].encode("latin-1")
            if case == "uart-stalled-line":
                if not (0 < len(sent) < len(text)) or not text.startswith(sent):
                    fail(case, f"{len(sent)} of {len(text)} bytes went out: the line did not stall")
            elif sent != text:
                fail(case, f"sent {sent!r}, ordered {text!r}")
        elif order["kind"] == "usb":
            data_format, baud, pulse = check_usb(case, runs[case], arrivals["usb"].get(order["text"]))
            compare_usb_framing(case, order, data_format, baud)
        pulse_text = f"DTR/RTS pulse at open {pulse * 1000:.2f} ms" if pulse is not None else ""
        print(f"  {case:24} {response[:3]}  {end['seconds']:.2f} s  {pulse_text}")
    # Before any case ran, the check of a port that leads nowhere offered the adapter.
    offered = check.group(2).split(",") if check else []
    by_id = "/dev/serial/by-id/usb-serial-adapter-if00-port0"
    if (not check or check.group(1) != "3" or len(offered) != 8 or offered[0] != by_id
            or not {"/dev/ttyUSB0", "/dev/ttyACM0"} <= set(offered)):
        fail("check", f"did not offer {by_id}, /dev/ttyUSB0, /dev/ttyACM0 and five others "
             "for a port that leads nowhere: "
             + (check.group(0) if check else "no report"))
    for failure in failures:
        print("FAIL " + failure, file=sys.stderr)
    print(f"QEMU stage: {len(cases)} runs, {len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
