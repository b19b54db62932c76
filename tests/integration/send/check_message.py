#!/usr/bin/python3
"""Reads a stored message with Python's email package and compares it with
what the test sent through Mail_Send.

    check_message.py MESSAGE.eml EXPECTED.json [MARKER]

The envelope is MESSAGE.json beside the message (a message without one, as a
mail server delivers it, has no envelope keys); MARKER, the recipient that
found the message among all stored, is left out of it. EXPECTED.json, every key
optional: subject; from [name, address]; to, cc (lists of [name, address]);
headers {name: value} (each present once); absent [names]; type (top-level);
text, html (the first such part, line ends as LF; null: no such part);
attachments [{"filename", "path" (relative to EXPECTED.json)}]; mail_from;
rcpt_tos; smtputf8 (MAIL FROM carried SMTPUTF8); notify (the NOTIFY of every
recipient, "" none); message_id (its domain); header_lines (the longest line
of the header block); strict (no defect in any part or header, no header line
of any part over 78 characters but the trace lines a server adds, no line of a
quoted-printable or Base64 body over 76, no line at all over 998). Every
message carries one Message-ID of "<", a random UUID, "@", a domain and ">".
A header block in UTF-8 (RFC 6532) is read with the policy SMTPUTF8.

Prints one line per difference and exits 1, or exits 0.
"""

import email
import email.policy
import json
import os
import pathlib
import re
import sys

# Lines a mail server puts on top of a delivered message.
TRACE_FIELDS = (b"received", b"return-path", b"delivered-to", b"x-original-to")
# What Python says of the encoded words of a name parameter, which stand in a
# quoted string on purpose: older readers take them there.
NAME_WORDS = ("encoded word inside quoted string", "missing trailing whitespace after encoded-word")

MESSAGE_ID = re.compile(r"<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}@([^>]+)>")


def strict_problems(raw, msg):
    """Defects anywhere, and lines over their limits, walking the raw lines:
    the k-th header block is the k-th part of msg.walk()."""
    problems = []
    parts = list(msg.walk())
    for part in parts:
        problems += ["defect in %s: %r" % (part.get_content_type(), d) for d in part.defects]
        for name, value in part.items():
            problems += ["defect in %s: %r" % (name, d) for d in value.defects
                         if not (name.lower() == "content-type" and str(d) in NAME_WORDS)]
    delimiters = {b"--" + p.get_boundary().encode() for p in parts if p.get_boundary()}
    k, header, field = 0, True, b""
    for line in raw.split(b"\n"):
        line = line[:-1] if line.endswith(b"\r") else line
        if len(line) > 998:
            problems.append("line of %d characters" % len(line))
        if header:
            header = line != b""
            field = field if line[:1] in (b" ", b"\t") else line.split(b":")[0].lower()
            if len(line) > 78 and field not in TRACE_FIELDS:
                problems.append("header line of %d characters: %r" % (len(line), line))
        elif line in delimiters:
            k, header = min(k + 1, len(parts) - 1), True
        elif len(line) > 76 and str(parts[k].get("Content-Transfer-Encoding", "")).lower() in (
                "quoted-printable", "base64") and line[:-2] not in delimiters:
            problems.append("encoded line of %d characters: %r" % (len(line), line))
    return problems


def main(eml, expected_path, marker=None):
    raw = pathlib.Path(eml).read_bytes()
    # A header block in UTF-8 (RFC 6532) is read as text: from bytes, the
    # email package would keep its letters as undecodable bytes.
    head = re.split(b"\r?\n\r?\n", raw, 1)[0]
    msg = email.message_from_bytes(raw, policy=email.policy.default) if head.isascii() else \
        email.message_from_string(raw.decode("utf-8"), policy=email.policy.SMTPUTF8)
    beside = pathlib.Path(eml[:-4] + ".json")
    envelope = json.loads(beside.read_text()) if beside.exists() else {}
    if marker in envelope.get("rcpt_tos", []):
        at = envelope["rcpt_tos"].index(marker)
        del envelope["rcpt_tos"][at]
        if len(envelope.get("rcpt_params", [])) > at:
            del envelope["rcpt_params"][at]
    want = json.loads(pathlib.Path(expected_path).read_text("utf-8"))
    problems = []

    def same(what, got, expected):
        if got != expected:
            problems.append("%s: got %r, expected %r" % (what, got, expected))

    def mailboxes(name):
        return None if msg[name] is None else [[a.display_name, a.addr_spec]
                                               for a in msg[name].addresses]

    got = {"subject": lambda: None if msg["Subject"] is None else str(msg["Subject"]),
           "from": lambda: (mailboxes("From") or [None])[0], "to": lambda: mailboxes("To"),
           "cc": lambda: mailboxes("Cc"), "type": msg.get_content_type,
           "mail_from": lambda: envelope.get("mail_from"),
           "rcpt_tos": lambda: envelope.get("rcpt_tos"),
           "smtputf8": lambda: "SMTPUTF8" in envelope.get("mail_options", [])}
    for key in got.keys() & want.keys():
        same(key, got[key](), want[key])
    for name, value in want.get("headers", {}).items():
        same("header " + name, [str(v).strip() for v in msg.get_all(name) or []], [value])
    for name in want.get("absent", []):
        if msg[name] is not None:
            problems.append("header %s should be absent, is %r" % (name, str(msg[name])))
    ids = [str(v) for v in msg.get_all("Message-ID") or []]
    match = MESSAGE_ID.fullmatch(ids[0]) if len(ids) == 1 else None
    if match is None:
        problems.append("Message-ID: got %r, expected one <uuid@domain>" % ids)
    elif "message_id" in want:
        same("Message-ID domain", match.group(1), want["message_id"])
    for line in re.split(b"\r?\n", re.split(b"\r?\n\r?\n", raw, 1)[0]):
        if len(line) > want.get("header_lines", 998):
            problems.append("header line of %d characters: %r" % (len(line), line))

    for kind in ("text", "html"):
        if kind in want:
            parts = [p for p in msg.walk() if p.get_content_type() == "text/" + kind.replace(
                "text", "plain") and not p.is_multipart() and p.get_filename() is None]
            if want[kind] is None:
                same(kind + " parts", len(parts), 0)
            elif not parts:
                problems.append("no %s part" % kind)
            else:
                same(kind, parts[0].get_content().replace("\r\n", "\n").rstrip("\n"),
                     want[kind].rstrip("\n"))
    if "attachments" in want:
        got = [p for p in msg.walk() if p.get_filename() is not None]
        same("attachment names", [p.get_filename() for p in got],
             [a["filename"] for a in want["attachments"]])
        for part, expected in zip(got, want["attachments"]):
            data = pathlib.Path(os.path.dirname(expected_path), expected["path"]).read_bytes()
            payload = part.get_payload(decode=True) or b""
            if payload != data:
                problems.append("attachment %s: %d bytes differ from the %d bytes of %s" % (
                    expected["filename"], len(payload), len(data), expected["path"]))

    if "notify" in want:
        notify = [[p.split("=", 1)[1] for p in r["params"] if p.upper().startswith("NOTIFY=")]
                  for r in envelope.get("rcpt_params", [])]
        same("NOTIFY", notify, [[want["notify"]] if want["notify"] else []] *
             len(envelope.get("rcpt_tos", [])))

    problems += ["defect: %r" % defect for defect in msg.defects]
    if want.get("strict"):
        problems += strict_problems(raw, msg)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
