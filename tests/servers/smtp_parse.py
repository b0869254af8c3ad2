#!/usr/bin/env python3
"""Prints what a received message holds, as JSON, for the notification tests.

    smtp_parse.py MESSAGE.eml

Headers come out decoded (RFC 2047), every leaf part with its type, charset,
transfer encoding, file name, size and SHA-256 of its decoded bytes, and text
parts with their decoded text.
"""
import email
import email.policy
import hashlib
import json
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        raw = f.read()
    msg = email.message_from_bytes(raw, policy=email.policy.default)
    parts = []
    for part in msg.walk():
        if part.is_multipart():
            continue
        payload = part.get_payload(decode=True) or b""
        entry = {
            "content_type": part.get_content_type(),
            "charset": part.get_content_charset(),
            "encoding": part.get("Content-Transfer-Encoding", ""),
            "disposition": part.get_content_disposition(),
            "filename": part.get_filename(),
            "size": len(payload),
            "sha256": hashlib.sha256(payload).hexdigest(),
        }
        if part.get_content_maintype() == "text":
            entry["text"] = payload.decode(part.get_content_charset() or "ascii")
        parts.append(entry)
    out = {
        "content_type": msg.get_content_type(),
        "headers": {k.lower(): str(v) for k, v in msg.items()},
        "parts": parts,
        "max_line": max((len(line) for line in raw.split(b"\r\n")), default=0),
    }
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
