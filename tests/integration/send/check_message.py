#!/usr/bin/python3
"""Reads a stored message with Python's email package and compares it with
what the test sent through Mail_Send.

    check_message.py MESSAGE.eml EXPECTED.json [MARKER]

The envelope is MESSAGE.json beside the message; MARKER, the recipient that
found the message among all stored, is left out of it. EXPECTED.json, every key
optional: subject; from [name, address]; to, cc (lists of [name, address]);
headers {name: value} (each present once); absent [names]; type (top-level);
text, html (the first such part, line ends as LF; null: no such part);
attachments [{"filename", "path" (relative to EXPECTED.json)}]; mail_from;
rcpt_tos; notify (the NOTIFY of every recipient, "" none); message_id (its
domain); header_lines (the longest line of the header block). Every message
carries one Message-ID of "<", a random UUID, "@", a domain and ">".

Prints one line per difference and exits 1, or exits 0.
"""

import email
import email.policy
import json
import os
import re
import sys

MESSAGE_ID = re.compile(r"<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}@([^>]+)>")


def main(eml, expected_path, marker=None):
    with open(eml, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    with open(eml[:-4] + ".json") as f:
        envelope = json.load(f)
    if marker in envelope["rcpt_tos"]:
        at = envelope["rcpt_tos"].index(marker)
        del envelope["rcpt_tos"][at]
        if len(envelope.get("rcpt_params", [])) > at:
            del envelope["rcpt_params"][at]
    with open(expected_path, encoding="utf-8") as f:
        want = json.load(f)
    problems = []

    def same(what, got, expected):
        if got != expected:
            problems.append("%s: got %r, expected %r" % (what, got, expected))

    def mailboxes(name):
        return None if msg[name] is None else [[a.display_name, a.addr_spec]
                                               for a in msg[name].addresses]

    if "subject" in want:
        same("Subject", None if msg["Subject"] is None else str(msg["Subject"]), want["subject"])
    if "from" in want:
        same("From", (mailboxes("From") or [None])[0], want["from"])
    for name in ("To", "Cc"):
        if name.lower() in want:
            same(name, mailboxes(name), want[name.lower()])
    for name, value in want.get("headers", {}).items():
        same("header " + name, [str(v).strip() for v in msg.get_all(name) or []], [value])
    for name in want.get("absent", []):
        if msg[name] is not None:
            problems.append("header %s should be absent, is %r" % (name, str(msg[name])))
    if "type" in want:
        same("Content-Type", msg.get_content_type(), want["type"])
    ids = [str(v) for v in msg.get_all("Message-ID") or []]
    match = MESSAGE_ID.fullmatch(ids[0]) if len(ids) == 1 else None
    if match is None:
        problems.append("Message-ID: got %r, expected one <uuid@domain>" % ids)
    elif "message_id" in want:
        same("Message-ID domain", match.group(1), want["message_id"])
    for line in raw[:raw.find(b"\r\n\r\n")].split(b"\r\n"):
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
            with open(os.path.join(os.path.dirname(expected_path), expected["path"]), "rb") as f:
                data = f.read()
            payload = part.get_payload(decode=True) or b""
            if payload != data:
                problems.append("attachment %s: %d bytes differ from the %d bytes of %s" % (
                    expected["filename"], len(payload), len(data), expected["path"]))

    for key in ("mail_from", "rcpt_tos"):
        if key in want:
            same(key, envelope[key], want[key])
    if "notify" in want:
        notify = [[p.split("=", 1)[1] for p in r["params"] if p.upper().startswith("NOTIFY=")]
                  for r in envelope.get("rcpt_params", [])]
        same("NOTIFY", notify, [[want["notify"]] if want["notify"] else []] * len(envelope["rcpt_tos"]))

    for defect in msg.defects:
        # The top-level transfer-encoding line of a multipart message is a
        # known, harmless departure.
        if "InvalidMultipartContentTransferEncodingDefect" not in type(defect).__name__:
            problems.append("defect: %r" % defect)
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
