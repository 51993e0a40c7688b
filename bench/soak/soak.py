#!/usr/bin/env python3
"""Helpers of bench/soak.sh: the queuer, the deliverer, the drain probe and the final check.

It builds and reads PDUs itself (GSM 7-bit and UCS2) and never uses the project's codec, so a
codec fault shows up as a difference instead of cancelling out.

    soak.py queue   --admin A --ports N --seconds S --rate R --log FILE --seed X
    soak.py deliver --sim M --dev D --ports N --seconds S --rate R --log FILE --seed X
    soak.py pending --db F --sim M --dev D --ports N
    soak.py row     --db F --port P
    soak.py check   --work W --ports N
"""

import argparse
import csv
import datetime
import io
import json
import os
import random
import re
import signal
import sqlite3
import subprocess
import sys
import time

# ---------------------------------------------------------------------------------------
# Numbers and names shared with soak.sh (the database set-up lives there).

REMOTE_SENDER = "081299990000"
CONTACTS = {"081500000001": "Ani", "081500000002": "Budi", "081500000003": "Citra"}
CONTACT_GROUP = "SOAK"
# A value for <param2> (compared with LIKE against `nama`) and the contacts it selects.
BROADCAST_FILTERS = {"": sorted(CONTACTS), "Budi": ["081500000002"], "itr": ["081500000003"]}


def own_number(port):
    return "0811000000%02d" % port


# ---------------------------------------------------------------------------------------
# GSM 7-bit default alphabet (3GPP TS 23.038) and its extension table.

GSM_BASIC = ("@£$¥èéùìòÇ\nØø\rÅåΔ_ΦΓΛΩΠΨΣΘΞ\x1bÆæßÉ !\"#¤%&'()*+,-./0123456789:;<=>?"
             "¡ABCDEFGHIJKLMNOPQRSTUVWXYZÄÖÑÜ§¿abcdefghijklmnopqrstuvwxyzäöñüà")
assert len(GSM_BASIC) == 128
GSM_EXT = {0x0A: "\f", 0x14: "^", 0x28: "{", 0x29: "}", 0x2F: "\\", 0x3C: "[", 0x3D: "~",
           0x3E: "]", 0x40: "|", 0x65: "€"}
GSM_EXT_CODE = {c: k for k, c in GSM_EXT.items()}
GSM_CODE = {c: i for i, c in enumerate(GSM_BASIC) if i != 27}


def to_septets(text):
    out = []
    for c in text:
        if c in GSM_EXT_CODE:
            out += [27, GSM_EXT_CODE[c]]
        else:
            out.append(GSM_CODE[c])  # a KeyError here is a fault of this script's texts
    return out


def septet_length(text):
    return len(to_septets(text))


def pack_septets(septets, header=b""):
    """User data: the header octets, fill bits up to a septet boundary, then the septets."""
    start = len(header) * 8
    start += (7 - start % 7) % 7
    total_bits = start + 7 * len(septets)
    data = bytearray(header) + bytearray((total_bits + 7) // 8 - len(header))
    for i, s in enumerate(septets):
        bit = start + 7 * i
        value = s << (bit % 8)
        data[bit // 8] |= value & 0xFF
        if value >> 8:
            data[bit // 8 + 1] |= value >> 8
    return start // 7 + len(septets), bytes(data)


def unpack_septets(data, count):
    bits = int.from_bytes(data, "little")
    return [(bits >> (7 * i)) & 0x7F for i in range(count)]


def septets_to_text(septets):
    out, escape = [], False
    for s in septets:
        if escape:
            out.append(GSM_EXT.get(s, "?"))
            escape = False
        elif s == 27:
            escape = True
        else:
            out.append(GSM_BASIC[s])
    return "".join(out)


def semi_octets(digits):
    if len(digits) % 2:
        digits += "F"
    return "".join(digits[i + 1] + digits[i] for i in range(0, len(digits), 2))


def from_semi_octets(hexdigits):
    return "".join(hexdigits[i + 1] + hexdigits[i] for i in range(0, len(hexdigits), 2)).replace("F", "")


def deliver_pdu(sender, text, when, ucs2=False, concat=None):
    """One SMS-DELIVER as a modem lists it; concat = (reference, total, sequence)."""
    header = b""
    if concat:
        header = bytes([5, 0, 3, concat[0] & 0xFF, concat[1], concat[2]])
    if ucs2:
        assert not concat
        ud = text.encode("utf-16-be")
        udl, dcs = len(ud), "08"
        assert udl <= 140, text
    else:
        udl, ud = pack_septets(to_septets(text), header)
        dcs = "00"
        assert udl <= 160, text
    stamp = when.strftime("%y%m%d%H%M%S")
    scts = semi_octets(stamp) + "00"
    first = "44" if concat else "04"
    return ("07912618485400F9" + first + "%02X" % len(sender) + "81" + semi_octets(sender) + "00" + dcs
            + scts + "%02X" % udl + ud.hex().upper())


def decode_submit(pdu):
    """An SMS-SUBMIT PDU: (destination, text, (reference, total, sequence) or None)."""
    b = bytes.fromhex(pdu)
    pos = 1 + b[0]
    first = b[pos]
    pos += 2  # first octet, message reference
    digits = b[pos]
    pos += 2  # length, type of address
    octets = (digits + 1) // 2
    destination = from_semi_octets(b[pos:pos + octets].hex().upper())
    pos += octets
    dcs = b[pos + 1]
    pos += 2
    vpf = (first >> 3) & 3
    pos += {0: 0, 2: 1}.get(vpf, 7)
    udl = b[pos]
    ud = b[pos + 1:]
    concat, header_octets = None, 0
    if first & 0x40:
        udhl = ud[0]
        header_octets = udhl + 1
        i = 1
        while i < header_octets:
            iei, length = ud[i], ud[i + 1]
            value = ud[i + 2:i + 2 + length]
            if iei == 0 and length == 3:
                concat = (value[0], value[1], value[2])
            elif iei == 8 and length == 4:
                concat = ((value[0] << 8) | value[1], value[2], value[3])
            i += 2 + length
    if (dcs & 0x0C) == 0x08:
        text = ud[header_octets:udl].decode("utf-16-be", errors="replace")
    elif (dcs & 0x0C) == 0x04:
        text = ud[header_octets:udl].decode("latin-1")
    else:
        skip = (header_octets * 8 + 6) // 7
        text = septets_to_text(unpack_septets(ud, udl)[skip:])
    return destination, text, concat


# ---------------------------------------------------------------------------------------
# Texts. Each carries a serial that names it in every table and on every modem.

WORDS = ["halo", "pesan", "uji", "baik", "sore", "pagi", "malam", "kota", "rumah", "jalan", "besok",
         "nanti", "oke", "siap", "info", "promo", "diskon", "harga", "tiket", "paket", "stok", "kirim"]
# Characters whose GSM code reads back the same in every direction the module handles them.
SAFE = list("éäöüÄÖÜåøßÅØ§ìò¤.,!?:;()&*+-=<>#")
LOW_CODES = list("@£$¥è")  # codes 0-4: never in a part of a long received message
EXTENSION_IN = list("{}[]~|^")  # extension characters that also read back from a received PDU
EXTENSION_OUT = EXTENSION_IN + ["\\", "€"]


def filler(rng, septets, extras):
    """Words and the odd special character, about `septets` long, no blank at either end."""
    words = []
    while septet_length(" ".join(words)) < septets:
        if extras and rng.random() < 0.25:
            words.append(rng.choice(extras) + rng.choice(WORDS))
        else:
            words.append(rng.choice(WORDS))
    return " ".join(words)


def queued_text(rng, serial):
    shape = rng.random()
    head = "Q%06d " % serial
    extras = SAFE + EXTENSION_OUT + LOW_CODES
    if shape < 0.4:
        body = filler(rng, rng.randint(5, 60), extras)
    elif shape < 0.55:
        # Exactly one full message, or one extension character too many for one.
        body = filler(rng, 150, SAFE)[:152 - len(head)]
        body = body.rstrip() + "x" * (160 - len(head) - septet_length(body.rstrip()))
        if rng.random() < 0.5:
            body = "{" + body[1:]
    elif shape < 0.7:
        # Extension characters around a part boundary.
        body = filler(rng, 140, SAFE) + " " + "".join(rng.choice(EXTENSION_OUT) for _ in range(12)) + " " + \
            filler(rng, rng.randint(10, 60), extras)
    else:
        body = filler(rng, rng.randint(170, 480), extras)
    return (head + body).strip()


def clean_received(text):
    """What the module keeps of a received text (quotes gone, slashes blanked)."""
    text = text.replace('"', "").replace("'", "").replace("\\", " ").replace("/", " ")
    return text.replace("\r\n", " ").replace("\x1a", "")


def remove_all_nocase(text, part):
    fold = lambda s: "".join(c.upper() if "a" <= c <= "z" else c for c in s)
    folded, key = fold(text), fold(part)
    out, start = [], 0
    at = folded.find(key)
    while at >= 0:
        out.append(text[start:at])
        start = at + len(key)
        at = folded.find(key, start)
    return "".join(out) + text[start:]


def split_parts(text, size):
    """Cuts a 7-bit text into parts of at most `size` septets, never inside an escape pair."""
    parts, current = [], ""
    for c in text:
        if septet_length(current + c) > size:
            parts.append(current)
            current = ""
        current += c
    return parts + [current]


def delivery(rng, serial):
    """One received message: its sender, text, coding and parts, and what it must cause."""
    kind = rng.choices(["plain", "ar", "bc"], [0.5, 0.32, 0.18])[0]
    long_text = kind != "bc" and rng.random() < 0.2
    ucs2 = not long_text and rng.random() < 0.12
    extras = SAFE + EXTENSION_IN + ([] if long_text else LOW_CODES)
    if ucs2:
        extras = SAFE
    size = rng.randint(200, 420) if long_text else rng.randint(5, 60 if ucs2 else 120)
    item = {"serial": serial, "kind": kind, "ucs2": ucs2}
    if kind == "plain":
        item["from"] = "0813%08d" % serial
        text = "D%06d %s" % (serial, filler(rng, size, extras))
    elif kind == "ar":
        item["from"] = "0814%08d" % serial
        while True:
            body = "A%06d %s" % (serial, filler(rng, size, extras))
            if "AR " not in body.upper():
                break
        text = "AR " + body
        item["reply"] = "RE " + remove_all_nocase(clean_received(text), "AR ")
    else:
        item["from"] = REMOTE_SENDER
        value = rng.choice(sorted(BROADCAST_FILTERS))
        part = "B%06d %s <nama>" % (serial, filler(rng, rng.randint(5, 100), extras))
        text = "BC %s,%s#%s" % (CONTACT_GROUP, value, part)
        item["copies"] = {m: part.replace("<nama>", CONTACTS[m]) for m in BROADCAST_FILTERS[value]}
    # One UCS2 message holds 70 characters; a longer text goes as 7-bit (its characters allow it).
    item["ucs2"] = ucs2 and len(text) <= 70
    item["text"] = text
    item["expect"] = clean_received(text)
    item["parts"] = split_parts(text, 150) if long_text else [text]
    return item


# ---------------------------------------------------------------------------------------
# Producers.

class Stopper:
    """SIGTERM ends the loop between two items, never inside one, so that the log stays true."""

    def __init__(self):
        self.stop = False
        signal.signal(signal.SIGTERM, self.handler)
        signal.signal(signal.SIGINT, self.handler)

    def handler(self, *_):
        self.stop = True


def paced(args, stopper):
    end = time.time() + args.seconds
    interval = 1.0 / args.rate
    next_at = time.time()
    while not stopper.stop and time.time() < end:
        yield
        next_at += interval
        pause = next_at - time.time()
        if pause > 0:
            time.sleep(pause)
        else:
            next_at = time.time()  # fell behind: keep the pace from now on, do not burst


def run_queue(args):
    rng = random.Random(args.seed)
    stopper = Stopper()
    serial = 0
    with open(args.log, "a", buffering=1) as log:
        for _ in paced(args, stopper):
            serial += 1
            port = rng.randint(1, args.ports)
            text = queued_text(rng, serial)
            to = "0816%08d" % rng.randint(0, 99999999)
            started = time.time()
            try:
                done = subprocess.run([args.admin, "queue", "tujuan=" + to, "isipesan=" + text,
                                       "pidcom=%d" % port], capture_output=True, text=True, timeout=60)
                ok, error = done.returncode == 0, done.stderr.strip()
            except subprocess.TimeoutExpired:
                ok, error = False, "timed out"
            log.write(json.dumps({"serial": serial, "port": port, "to": to, "text": text, "ok": ok,
                                  "error": error, "t": started}, ensure_ascii=False) + "\n")


def ctl(sim, dev, port, *words):
    done = subprocess.run([sim, "ctl", os.path.join(dev, "COM%d.ctl" % port)] + list(words),
                          capture_output=True, text=True, timeout=30)
    return done.returncode == 0, done.stdout.splitlines(), done.stderr.strip()


def run_deliver(args):
    rng = random.Random(args.seed)
    stopper = Stopper()
    serial = 0
    with open(args.log, "a", buffering=1) as log:
        for _ in paced(args, stopper):
            serial += 1
            port = rng.randint(1, args.ports)
            item = delivery(rng, serial)
            item["port"] = port
            item["t"] = time.time()
            now = datetime.datetime.now()
            total = len(item["parts"])
            stored, error = [], ""
            for seq, part in enumerate(item["parts"], 1):
                concat = (serial % 256, total, seq) if total > 1 else None
                pdu = deliver_pdu(item["from"], part, now, item["ucs2"], concat)
                ok, out, error = ctl(args.sim, args.dev, port, "store", "ME", "0", pdu)
                if not ok:
                    break
                stored.append(out[-1] if out else "?")
            if len(stored) < total:
                # A long message that cannot be stored whole is taken back, so that no part
                # waits in the modem for the rest.
                for index in stored:
                    ctl(args.sim, args.dev, port, "delete", "ME", index)
            item["stored"] = len(stored) == total
            item["withdrawn"] = 0 < len(stored) < total
            item["error"] = error
            log.write(json.dumps(item, ensure_ascii=False) + "\n")


# ---------------------------------------------------------------------------------------
# Database access (read only in spirit: only SELECT).

class _Rows:
    def __init__(self, rows):
        self.rows = rows

    def fetchone(self):
        return self.rows[0] if self.rows else None

    def fetchall(self):
        return self.rows


class PostgresReader:
    """The few SELECTs of this script through psql (no driver needed). Parameters and the
    `ints` columns are whole numbers; every other value stays text, None for NULL."""

    def __init__(self, url):
        self.url = url

    def execute(self, sql, params=(), ints=()):
        for p in params:
            sql = sql.replace("?", str(int(p)), 1)
        out = subprocess.run(["psql", self.url, "-X", "-q", "--csv", "-P", "null=\\N", "-c", sql],
                             check=True, capture_output=True, text=True).stdout
        rows = []
        for record in list(csv.reader(io.StringIO(out)))[1:]:
            row = [None if v == "\\N" else v for v in record]
            for i in ints:
                if row[i] is not None:
                    row[i] = int(row[i])
            rows.append(tuple(row))
        return _Rows(rows)


class SqliteReader:
    def __init__(self, path):
        self.db = sqlite3.connect(path, timeout=30)
        self.db.execute("PRAGMA busy_timeout=30000")

    def execute(self, sql, params=(), ints=()):
        return self.db.execute(sql, params)


def connect(target):
    """`target`: the SQLite file, or the postgresql:// URL of the database."""
    if target.startswith("postgres"):
        return PostgresReader(target)
    return SqliteReader(target)


def run_pending(args):
    db = connect(args.db)
    queued = db.execute("SELECT count(*) FROM qsms WHERE pidcom BETWEEN 1 AND ?", (args.ports,), (0,)).fetchone()[0]
    stranded = db.execute("SELECT count(*) FROM qsms WHERE pidcom NOT BETWEEN 1 AND ?", (args.ports,),
                          (0,)).fetchone()[0]
    stored = 0
    for port in range(1, args.ports + 1):
        ok, out, _ = ctl(args.sim, args.dev, port, "list")
        stored += len(out) if ok else 0
    print(queued, stranded, stored)


def run_row(args):
    db = connect(args.db)
    row = db.execute("SELECT stat, errinfo FROM cs WHERE com=?", (args.port,)).fetchone()
    print("%s %s" % row if row else "no row")


# ---------------------------------------------------------------------------------------
# The check.

OUT_KEY = [(re.compile(r"^Q(\d{6})"), "Q"), (re.compile(r"^RE A(\d{6})"), "R"), (re.compile(r"^B(\d{6})"), "B")]
IN_KEY = re.compile(r"[DAB](\d{6})")


def out_key(text, destination):
    for pattern, kind in OUT_KEY:
        m = pattern.match(text)
        if m:
            serial = int(m.group(1))
            return (kind, serial, destination) if kind == "B" else (kind, serial)
    return None


def read_jsonl(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def reassemble(pdus):
    """The submissions one modem accepted, in order: whole messages and cut-off ones.

    Parts of one message reach the modem one after the other, so a long message is the run of
    parts 1..total with one reference; a run that stops early was cut off."""
    out, run = [], None

    def close(complete):
        nonlocal run
        if run:
            out.append({"to": run["to"], "text": "".join(run["texts"]), "complete": complete,
                        "first": run["first"], "last": run["last"], "parts": run["total"]})
        run = None

    for index, pdu in enumerate(pdus):
        try:
            to, text, concat = decode_submit(pdu)
        except Exception as e:  # noqa: BLE001 - a PDU this reader cannot take apart is reported
            close(False)
            out.append({"to": "?", "text": "", "complete": False, "first": index, "last": index, "parts": 1,
                        "undecodable": "%s: %s" % (pdu[:40], e)})
            continue
        if not concat or concat[1] <= 1:
            close(False)
            out.append({"to": to, "text": text, "complete": True, "first": index, "last": index, "parts": 1})
            continue
        ref, total, seq = concat
        if run and run["ref"] == ref and run["total"] == total and run["to"] == to and seq == run["next"]:
            run["texts"].append(text)
            run["last"] = index
            run["next"] += 1
        else:
            close(False)
            # A run that does not begin with part 1 lost its start (and its serial) to a cut.
            run = {"ref": ref, "total": total, "to": to, "texts": [text], "first": index, "last": index,
                   "next": seq + 1, "started_at_one": seq == 1}
        if run["next"] > total:
            close(run.get("started_at_one", True))
    close(False)
    return out


def run_check(args):
    work, n = args.work, args.ports
    queued = read_jsonl(os.path.join(work, "queued.jsonl"))
    delivered = read_jsonl(os.path.join(work, "delivered.jsonl"))
    chaos = []
    with open(os.path.join(work, "chaos.log")) as f:
        for line in f:
            w = line.split()
            if len(w) >= 5 and w[0] != "#":
                chaos.append({"t": float(w[0]), "port": int(w[1]), "what": w[2], "status": w[3],
                              "submitted": int(w[4]) if w[4].isdigit() else -1})
    db = connect(args.db or os.path.join(work, "home", "dbtavrin.db"))
    rows = lambda sql, ints=(): db.execute(sql, (), ints).fetchall()
    qsms = rows("SELECT idx, tujuan, isipesan, pidcom, trycount FROM qsms", (0, 3, 4))
    smsout = rows("SELECT penerima, pesan, pidcom, tanggal, waktu FROM smsout", (2,))
    failed = rows("SELECT idx, tujuan, isipesan, pidcom, trycount FROM failedsent", (0, 3, 4))
    smsin = rows("SELECT pengirim, penerima, pesan, tanggal, waktu FROM smsin")
    cs = rows("SELECT com, stat, errinfo FROM cs ORDER BY com", (0,))

    problems = []  # (invariant, detail)
    notes = []

    def problem(name, detail):
        problems.append((name, detail))

    # Where each outbound message went, by table.
    tables = {"qsms": {}, "smsout": {}, "failedsent": {}}
    texts = {}
    for name, data, to_col, text_col, port_col in (("qsms", qsms, 1, 2, 3), ("smsout", smsout, 0, 1, 2),
                                                  ("failedsent", failed, 1, 2, 3)):
        for r in data:
            key = out_key(r[text_col], r[to_col])
            if key is None:
                problem("unknown outbound row", "%s: %r" % (name, r))
                continue
            tables[name].setdefault(key, []).append(r)
            texts.setdefault(key, []).append((name, r[text_col], r[port_col]))

    def where(key):
        return {t: len(tables[t].get(key, [])) for t in tables}

    # Kills -9 per port: the count of PDUs the modem had accepted once the module was dead.
    kill_marks = {}
    kill_times = {}
    for e in chaos:
        if e["what"] == "KILL":
            kill_marks.setdefault(e["port"], set()).add(e["submitted"])
            kill_times.setdefault(e["port"], []).append(e["t"])

    # --- 1. Queued messages: in smsout once, or in failedsent.
    counts = {"queued": 0, "queue_errors": 0, "sent_once": 0, "failed": 0, "missing": 0, "still_queued": 0,
              "duplicated": 0, "text_differs": 0}
    expected_out = {}  # key -> (text, port or None)
    for q in queued:
        if not q["ok"]:
            counts["queue_errors"] += 1
            notes.append("queue %d failed in pelorin-admin: %s" % (q["serial"], q["error"][:200]))
            continue
        counts["queued"] += 1
        key = ("Q", q["serial"])
        expected_out[key] = (q["text"], q["port"], q["to"])
        w = where(key)
        ended = w["smsout"] + w["failedsent"]
        if ended == 1 and w["qsms"] == 0:
            counts["sent_once" if w["smsout"] else "failed"] += 1
        elif ended == 0 and w["qsms"]:
            counts["still_queued"] += 1
            problem("queued message never ended", "Q%06d port %d: still in qsms %r" %
                    (q["serial"], q["port"], tables["qsms"][key][0][3:]))
        elif ended == 0:
            counts["missing"] += 1
            problem("queued message lost", "Q%06d port %d: in no table" % (q["serial"], q["port"]))
        else:
            counts["duplicated"] += 1
            problem("queued message recorded twice", "Q%06d port %d: %s" % (q["serial"], q["port"], w))
        for name, text, port in texts.get(key, []):
            if text != q["text"] or port != q["port"]:
                counts["text_differs"] += 1
                problem("queued message changed", "Q%06d in %s on port %s: %r" % (q["serial"], name, port, text))
    for key in texts:
        if key[0] == "Q" and key not in expected_out:
            maybe = any(q["serial"] == key[1] and not q["ok"] for q in queued)
            (notes.append if maybe else lambda d: problem("outbound row nobody queued", d))(
                "Q%06d in %s" % (key[1], [t[0] for t in texts[key]]))

    # --- 2. Received messages: in smsin once.
    in_rows = {}
    for r in smsin:
        m = IN_KEY.search(r[2])
        if not m:
            problem("unknown smsin row", repr(r))
            continue
        in_rows.setdefault(int(m.group(1)), []).append(r)
    counts.update({"delivered": 0, "not_stored_in_modem": 0, "withdrawn": 0, "stored_once": 0,
                   "in_missing": 0, "in_duplicated": 0, "in_dup_after_kill9": 0, "in_text_differs": 0})
    handled = {}  # serial -> number of times handled
    by_serial = {}
    for d in delivered:
        if not d["stored"]:
            counts["not_stored_in_modem"] += 1
            counts["withdrawn"] += 1 if d.get("withdrawn") else 0
            continue
        counts["delivered"] += 1
        by_serial[d["serial"]] = d
        got = in_rows.get(d["serial"], [])
        handled[d["serial"]] = len(got)
        label = "%s%06d (%s) port %d" % ({"plain": "D", "ar": "A", "bc": "B"}[d["kind"]], d["serial"],
                                         d["kind"], d["port"])
        if len(got) == 1:
            counts["stored_once"] += 1
        elif not got:
            counts["in_missing"] += 1
            problem("received message not in smsin", label)
        else:
            # Handled twice is possible only when the module was killed between its commit and
            # the deletion from the modem: a kill -9 of that port after the message arrived.
            kills = [t for t in kill_times.get(d["port"], []) if d["t"] <= t <= d["t"] + 120]
            if kills:
                counts["in_dup_after_kill9"] += 1
                notes.append("%s stored %d times; kill -9 of port %d %.1f s after it arrived" %
                             (label, len(got), d["port"], kills[0] - d["t"]))
            else:
                counts["in_duplicated"] += 1
                problem("received message stored twice", "%s: %d rows %r" % (label, len(got), got))
        for r in got:
            if r[2] != d["expect"] or r[0] != d["from"] or r[1] != own_number(d["port"]):
                counts["in_text_differs"] += 1
                problem("received message changed", "%s: stored %r, expected %r from %s to %s" %
                        (label, r[:3], d["expect"], d["from"], own_number(d["port"])))
    for serial in in_rows:
        if serial not in by_serial:
            problem("smsin row for a message never delivered", repr(in_rows[serial]))

    # --- 3. Replies and broadcast copies: queued once per handling.
    counts.update({"replies_expected": 0, "replies_once": 0, "copies_expected": 0, "copies_once": 0,
                   "caused_missing": 0, "caused_duplicated": 0, "caused_dup_after_kill9": 0})
    for serial, d in sorted(by_serial.items()):
        wanted = []
        if d["kind"] == "ar":
            wanted.append((("R", serial), d["reply"], d["from"], "replies"))
        for msisdn, text in sorted(d.get("copies", {}).items()):
            wanted.append((("B", serial, msisdn), text, msisdn, "copies"))
        times = handled.get(serial, 0)
        for key, text, to, what in wanted:
            counts[what + "_expected"] += 1
            expected_out[key] = (text, None, to)
            w = where(key)
            total = sum(w.values())
            label = "%s of %06d (port %d)" % (what, serial, d["port"])
            if total == 1 and times == 1:
                counts[what + "_once"] += 1
            elif total == 0 or total < times:
                counts["caused_missing"] += 1
                problem("reply or copy not queued", "%s: %s, message handled %d times" % (label, w, times))
            elif total == times:
                counts["caused_dup_after_kill9"] += 1
            else:
                counts["caused_duplicated"] += 1
                problem("reply or copy queued twice", "%s: %s, message handled %d times" % (label, w, times))
            for name, got, port in texts.get(key, []):
                if got != text:
                    problem("reply or copy text", "%s in %s: %r, expected %r" % (label, name, got, text))
    for key in texts:
        if key[0] != "Q" and key not in expected_out:
            problem("reply or copy nobody asked for", "%s in %s" % (key, [t[0] for t in texts[key]]))

    # --- 4. What reached the modems: each message once, except after a kill -9.
    counts.update({"pdus": 0, "submissions": 0, "cut_off": 0, "resent_after_kill9": 0, "resent": 0,
                   "unrecorded": 0, "sent_without_pdu": 0, "pdu_text_differs": 0, "unknown_pdus": 0})
    seen = {}  # key -> list of (port, submission)
    for port in range(1, n + 1):
        path = os.path.join(work, "submitted%d.txt" % port)
        pdus = [line.strip() for line in open(path)] if os.path.exists(path) else []
        counts["pdus"] += len(pdus)
        for s in reassemble(pdus):
            counts["submissions"] += 1
            if "undecodable" in s:
                counts["unknown_pdus"] += 1
                problem("PDU this check cannot read", "port %d #%d: %s" % (port, s["first"], s["undecodable"]))
                continue
            key = out_key(s["text"], s["to"])
            if not s["complete"]:
                counts["cut_off"] += 1
            if key is None:
                if s["complete"]:
                    counts["unknown_pdus"] += 1
                    problem("PDU of no known message", "port %d #%d: to %s %r" % (port, s["first"], s["to"],
                                                                                 s["text"][:80]))
                else:
                    # A cut-off long message without its first part: name it by its parts' neighbours.
                    notes.append("port %d #%d-%d: parts without their first part" % (port, s["first"], s["last"]))
                continue
            seen.setdefault(key, []).append((port, s))
    for key, subs in sorted(seen.items(), key=lambda kv: str(kv[0])):
        expected = expected_out.get(key)
        label = "%s%06d%s" % (key[0], key[1], (" to " + key[2]) if len(key) > 2 else "")
        for port, s in subs:
            if expected and s["complete"] and (s["text"] != expected[0] or s["to"] != expected[2]):
                counts["pdu_text_differs"] += 1
                problem("PDU text differs", "%s port %d #%d: %r to %s, queued %r to %s" %
                        (label, port, s["first"], s["text"], s["to"], expected[0], expected[2]))
            if expected and expected[1] is not None and port != expected[1]:
                problem("PDU on the wrong modem", "%s queued for port %d, sent on port %d" % (label, expected[1], port))
        # Every submission but the last must have been followed at once by a kill -9 of its module.
        for port, s in subs[:-1]:
            if s["last"] + 1 in kill_marks.get(port, set()):
                counts["resent_after_kill9"] += 1
            else:
                counts["resent"] += 1
                problem("PDU reached a modem twice", "%s: %s" % (label, [(p, x["first"], x["last"], x["complete"])
                                                                          for p, x in subs]))
    for key, (text, port, to) in expected_out.items():
        w = where(key)
        if w["smsout"] and not any(s["complete"] for _, s in seen.get(key, [])):
            counts["sent_without_pdu"] += 1
            problem("logged as sent but never reached a modem", "%s %s" % (key, w))
        if key in seen and any(s["complete"] for _, s in seen[key]) and not w["smsout"]:
            counts["unrecorded"] += 1
            problem("reached a modem but not logged as sent", "%s %s" % (key, w))

    # --- 5. The modules themselves.
    counts.update({"sigterm": 0, "kill9": 0, "sigterm_bad_exit": 0, "ended_by_itself": 0,
                   "final_bad_exit": 0})
    for e in chaos:
        if e["what"] == "TERM":
            counts["sigterm"] += 1
            if e["status"] != "0":
                counts["sigterm_bad_exit"] += 1
                problem("module ended badly after SIGTERM", "port %d status %s at %s" %
                        (e["port"], e["status"], stamp(e["t"])))
        elif e["what"] == "KILL":
            counts["kill9"] += 1
        elif e["what"] == "ENDED":
            counts["ended_by_itself"] += 1
            problem("module ended by itself", "port %d status %s at %s" % (e["port"], e["status"], stamp(e["t"])))
        elif e["what"] == "FINAL" and e["status"] != "0":
            counts["final_bad_exit"] += 1
            problem("module ended badly at the final stop", "port %d status %s" % (e["port"], e["status"]))
    for com, stat, errinfo in cs:
        if stat == "ERR":
            problem("port row left at ERR", "port %s: %s" % (com, errinfo))
    stranded = [r for r in qsms if not 1 <= r[3] <= n]
    if stranded:
        problem("queued for a port nobody serves", "%d rows, e.g. %r" % (len(stranded), stranded[0]))

    # --- Summary.
    print("================ soak summary ================")
    print("modules %d, SIGTERM %d, kill -9 %d, ended by themselves %d, bad exits %d" %
          (n, counts["sigterm"], counts["kill9"], counts["ended_by_itself"],
           counts["sigterm_bad_exit"] + counts["final_bad_exit"]))
    print("queued  %5d: sent once %d, failedsent %d | missing %d, still queued %d, duplicated %d, "
          "changed %d, queue errors %d" % (counts["queued"], counts["sent_once"], counts["failed"],
                                          counts["missing"], counts["still_queued"], counts["duplicated"],
                                          counts["text_differs"], counts["queue_errors"]))
    print("received %4d: in smsin once %d | missing %d, twice %d, twice after kill -9 %d, changed %d "
          "(not stored: modem full %d)" % (counts["delivered"], counts["stored_once"], counts["in_missing"],
                                           counts["in_duplicated"], counts["in_dup_after_kill9"],
                                           counts["in_text_differs"], counts["not_stored_in_modem"]))
    print("replies %5d: queued once %d; broadcast copies %d: queued once %d | missing %d, duplicated %d, "
          "duplicated with their message after kill -9 %d" % (
              counts["replies_expected"], counts["replies_once"], counts["copies_expected"], counts["copies_once"],
              counts["caused_missing"], counts["caused_duplicated"], counts["caused_dup_after_kill9"]))
    print("modems: %d PDUs, %d messages (%d cut off) | sent twice %d, sent twice after kill -9 %d, "
          "changed %d, unreadable or unknown %d, sent but not logged %d, logged but not sent %d" % (
              counts["pdus"], counts["submissions"], counts["cut_off"], counts["resent"],
              counts["resent_after_kill9"], counts["pdu_text_differs"], counts["unknown_pdus"],
              counts["unrecorded"], counts["sent_without_pdu"]))
    for note in notes[:40]:
        print("note: " + note)
    if len(notes) > 40:
        print("note: ... %d more" % (len(notes) - 40))
    by_name = {}
    for name, detail in problems:
        by_name.setdefault(name, []).append(detail)
    for name, details in by_name.items():
        print("VIOLATION %s: %d" % (name, len(details)))
        for detail in details[:15]:
            print("    " + detail)
        if len(details) > 15:
            print("    ... %d more" % (len(details) - 15))
    print("result: %s" % ("FAILED" if problems else "all invariants held"))
    with open(os.path.join(work, "counts.json"), "w") as f:
        json.dump(counts, f, indent=1)
    return 1 if problems else 0


def stamp(t):
    return time.strftime("%H:%M:%S", time.localtime(t))


def main():
    p = argparse.ArgumentParser()
    sub = p.add_subparsers(dest="command", required=True)
    q = sub.add_parser("queue")
    q.add_argument("--admin", required=True)
    d = sub.add_parser("deliver")
    d.add_argument("--sim", required=True)
    d.add_argument("--dev", required=True)
    for s in (q, d):
        s.add_argument("--ports", type=int, required=True)
        s.add_argument("--seconds", type=float, required=True)
        s.add_argument("--rate", type=float, required=True)
        s.add_argument("--log", required=True)
        s.add_argument("--seed", type=int, default=1)
    pe = sub.add_parser("pending")
    pe.add_argument("--db", required=True)
    pe.add_argument("--sim", required=True)
    pe.add_argument("--dev", required=True)
    pe.add_argument("--ports", type=int, required=True)
    r = sub.add_parser("row")
    r.add_argument("--db", required=True)
    r.add_argument("--port", type=int, required=True)
    c = sub.add_parser("check")
    c.add_argument("--work", required=True)
    c.add_argument("--ports", type=int, required=True)
    c.add_argument("--db", help="the database, when not the SQLite file of the work directory")
    args = p.parse_args()
    return {"queue": run_queue, "deliver": run_deliver, "pending": run_pending, "row": run_row,
            "check": run_check}[args.command](args) or 0


if __name__ == "__main__":
    sys.exit(main())
