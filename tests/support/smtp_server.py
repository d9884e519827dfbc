"""A real SMTP server (aiosmtpd) on a free loopback port, for the SMTP carrier's tests.

    /usr/bin/python3 smtp_server.py --record FILE [--user U --password P] [--no-auth]
                                    [--refuse-rcpt TEXT] [--quiet]

Prints "READY <port>" on standard output once it listens on 127.0.0.1. Every AUTH attempt and
every mail it takes is appended to FILE as one JSON object per line:
    {"kind": "auth", "mechanism": ..., "login": ..., "password": ..., "success": ...}
    {"kind": "mail", "mail_from": ..., "rcpt_tos": [...], "from": ..., "to": ..., "reply_to":
     ..., "cc": ..., "subject": ..., "body": ..., "authenticated": ...}
Headers and the body are decoded by Python's own e-mail package (encoded words, transfer
encoding and character set); the body loses the line end of its last line. With --quiet
(benchmarks) mails are counted, not recorded: FILE gets one line {"kind": "count", "mails":
N} per mail. AUTH LOGIN and PLAIN are offered without TLS unless --no-auth; a recipient
holding TEXT is refused with 550. Ends on SIGTERM.
"""
import argparse
import asyncio
import email
import email.policy
import json
import socket
import sys

from aiosmtpd.smtp import SMTP, AuthResult


class Recorder:
    def __init__(self, path, refuse, quiet):
        self.out = open(path, "a", encoding="utf-8")
        self.refuse = refuse
        self.quiet = quiet
        self.mails = 0

    def write(self, record):
        self.out.write(json.dumps(record) + "\n")
        self.out.flush()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if self.refuse and self.refuse in address:
            return "550 5.1.1 Recipient refused"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.mails += 1
        if self.quiet:
            self.write({"kind": "count", "mails": self.mails})
            return "250 OK"
        content = envelope.original_content.replace(b"\r\n", b"\n")
        msg = email.message_from_bytes(content, policy=email.policy.default)
        body = msg.get_content()
        if body.endswith("\n"):
            body = body[:-1]

        def header(name):
            value = msg[name]
            return None if value is None else str(value)

        self.write({
            "kind": "mail",
            "mail_from": envelope.mail_from,
            "rcpt_tos": envelope.rcpt_tos,
            "from": header("From"),
            "to": header("To"),
            "reply_to": header("Reply-To"),
            "cc": header("Cc"),
            "subject": header("Subject"),
            "body": body,
            "authenticated": bool(session.authenticated),
        })
        return "250 OK"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--record", required=True)
    parser.add_argument("--user", default="pager")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--no-auth", action="store_true")
    parser.add_argument("--refuse-rcpt", default="")
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()

    recorder = Recorder(args.record, args.refuse_rcpt, args.quiet)

    def authenticator(server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode("utf-8", "replace")
        password = auth_data.password.decode("utf-8", "replace")
        success = login == args.user and password == args.password
        recorder.write({"kind": "auth", "mechanism": mechanism, "login": login,
                        "password": password, "success": success})
        return AuthResult(success=success, handled=False)

    class NoDelaySMTP(SMTP):
        # aiosmtpd writes a multi-line reply line by line; without TCP_NODELAY every line after
        # the first waits for the client's delayed acknowledgement (some 40 ms per EHLO).
        def connection_made(self, transport):
            sock = transport.get_extra_info("socket")
            if sock is not None:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            super().connection_made(transport)

    def factory():
        return NoDelaySMTP(recorder, hostname="localhost", ident="test SMTP server",
                    authenticator=authenticator, auth_require_tls=False, auth_required=False,
                    auth_exclude_mechanism=["LOGIN", "PLAIN"] if args.no_auth else None)

    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.bind(("127.0.0.1", 0))
    sock.listen(128)
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    loop.run_until_complete(loop.create_server(factory, sock=sock))
    print("READY", sock.getsockname()[1], flush=True)
    loop.run_forever()


if __name__ == "__main__":
    sys.exit(main())
