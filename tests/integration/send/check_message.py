#!/usr/bin/python3
"""Reads a message a test server stored with Python's email package and
compares it with what the test sent through Mail_Send.

    check_message.py MESSAGE.eml ENVELOPE.json EXPECTED.json

EXPECTED.json (every key optional):
    subject         the decoded subject
    from            [display name, address]
    to, cc          lists of [display name, address], in order
    headers         {name: value}: each header present once with that value
    absent          header names that must not be there
    type            the top-level content type
    text, html      the text of the first text/plain or text/html part
                    (line ends compared as LF, trailing line breaks ignored)
    attachments     [{"filename": name, "path": file whose bytes were sent, relative
                    to the folder of EXPECTED.json}]
    mail_from       envelope sender
    rcpt_tos        envelope recipients, in order
    notify          the NOTIFY parameter every recipient must carry ("" = none)
    message_id      the domain of the Message-ID
    header_lines    the longest a line of the header block may be

Every message must carry exactly one Message-ID: "<", a random UUID, "@" and a
domain, ">".

Prints one line per difference and exits 1, or prints "message ok" and exits 0.
"""

import email
import email.policy
import json
import os
import re
import sys

MESSAGE_ID = re.compile(r"<[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}@([^>]+)>")


def lines(text):
    return text.replace("\r\n", "\n").rstrip("\n")


def main():
    eml, envelope_path, expected_path = sys.argv[1:4]
    with open(eml, "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    with open(envelope_path) as f:
        envelope = json.load(f)
    with open(expected_path, encoding="utf-8") as f:
        want = json.load(f)
    problems = []

    def same(what, got, expected):
        if got != expected:
            problems.append("%s: got %r, expected %r" % (what, got, expected))

    def mailboxes(name):
        header = msg[name]
        if header is None:
            return None
        return [[a.display_name, a.addr_spec] for a in header.addresses]

    if "subject" in want:
        same("Subject", None if msg["Subject"] is None else str(msg["Subject"]), want["subject"])
    if "from" in want:
        got = mailboxes("From")
        same("From", got[0] if got else None, want["from"])
    for name in ("to", "cc"):
        if name in want:
            same(name.capitalize(), mailboxes(name.capitalize()), want[name])
    for name, value in want.get("headers", {}).items():
        values = msg.get_all(name) or []
        same("header %s" % name, [str(v).strip() for v in values], [value])
    for name in want.get("absent", []):
        if msg[name] is not None:
            problems.append("header %s should be absent, is %r" % (name, str(msg[name])))
    if "type" in want:
        same("Content-Type", msg.get_content_type(), want["type"])

    ids = [str(v) for v in msg.get_all("Message-ID") or []]
    match = MESSAGE_ID.fullmatch(ids[0]) if len(ids) == 1 else None
    if match is None:
        problems.append("Message-ID: got %r, expected one of the form <uuid@domain>" % ids)
    elif "message_id" in want:
        same("Message-ID domain", match.group(1), want["message_id"])
    if "header_lines" in want:
        for line in raw[:raw.find(b"\r\n\r\n")].split(b"\r\n"):
            if len(line) > want["header_lines"]:
                problems.append("header line of %d characters: %r" % (len(line), line))

    for kind in ("text", "html"):
        if kind not in want:
            continue
        parts = [p for p in msg.walk()
                 if p.get_content_type() == "text/" + ("plain" if kind == "text" else kind)
                 and not p.is_multipart() and p.get_filename() is None]
        if want[kind] is None:
            same("%s parts" % kind, len(parts), 0)
        elif not parts:
            problems.append("no %s part" % kind)
        else:
            same("%s body" % kind, lines(parts[0].get_content()), lines(want[kind]))

    if "attachments" in want:
        got = [p for p in msg.walk() if p.get_filename() is not None]
        same("attachment count", len(got), len(want["attachments"]))
        for part, expected in zip(got, want["attachments"]):
            same("attachment name", part.get_filename(), expected["filename"])
            with open(os.path.join(os.path.dirname(expected_path), expected["path"]), "rb") as f:
                data = f.read()
            payload = part.get_payload(decode=True)
            if payload != data:
                problems.append("attachment %s: %d bytes differ from the %d bytes of %s"
                                % (expected["filename"], len(payload or b""), len(data),
                                   expected["path"]))

    if "mail_from" in want:
        same("MAIL FROM", envelope["mail_from"], want["mail_from"])
    if "rcpt_tos" in want:
        same("RCPT TO", envelope["rcpt_tos"], want["rcpt_tos"])
    if "notify" in want:
        for entry in envelope.get("rcpt_params", []):
            notify = [p.split("=", 1)[1] for p in entry["params"] if p.upper().startswith("NOTIFY=")]
            same("NOTIFY of %s" % entry, notify, [want["notify"]] if want["notify"] else [])
        same("recipients with parameters", len(envelope.get("rcpt_params", [])),
             len(envelope["rcpt_tos"]))

    for defect in msg.defects:
        # The top-level transfer-encoding line of a multipart message is a
        # known, harmless departure; anything else is reported.
        if "InvalidMultipartContentTransferEncodingDefect" not in type(defect).__name__:
            problems.append("defect: %r" % defect)

    for p in problems:
        print(p)
    print("message ok" if not problems else "%d difference(s)" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
