"""A GNTP daemon on 127.0.0.1 for the tests, run as its own process with the
real gntp package: ``python gntp_listener.py MODE``.

It prints "ready" once it listens, then parses every message it receives with
the package's own parser and answers by MODE: "answer" (-OK to each),
"refuse" (-ERROR to the registration, -OK to the rest), "reset" (drops each
connection), "silent" (answers nothing), "silent-notify" (-OK to the
registration only), "close" (closes each connection unanswered), "half"
(half of each -OK, then closes), "half-notify" (-OK to the registration,
half of it to the rest) or "gone" (-OK to the registration, then stops
listening).  When its standard input closes it prints the messages
as one JSON list ({"type", "headers", "notifications"} each) and ends."""

import json
import socket
import sys
import threading

import gntp.core

PORT = 23053  # gntp's default, which tessel keeps

REFUSED = gntp.core.GNTPError(errorcode=402, errordesc="Not Authorized").encode()
UNREADABLE = gntp.core.GNTPError(errorcode=500, errordesc="Unreadable").encode()

# The package's parser (1.0.3) refuses every message that carries no
# password, which is every message tessel sends: here, none is asked for.
gntp.core._GNTPBase._validate_password = lambda self, password: True


def answer(mode, kind):
    if mode in ("reset", "silent", "close") or (mode == "silent-notify" and kind != "REGISTER"):
        return None
    if mode == "refuse" and kind == "REGISTER":
        return REFUSED
    ok = gntp.core.GNTPOK(action=kind).encode()
    if mode == "half" or (mode == "half-notify" and kind != "REGISTER"):
        return ok[: len(ok) // 2]
    return ok


def read(conn):
    # The client sends one message in one write: take what has arrived once
    # nothing more comes for a moment.
    data = conn.recv(65536)
    conn.settimeout(0.1)
    try:
        while chunk := conn.recv(65536):
            data += chunk
    except TimeoutError:
        pass
    conn.settimeout(None)
    return data


def serve(server, mode, messages):
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        with conn:
            try:
                message = gntp.core.parse_gntp(read(conn))
            except Exception as e:  # noqa: BLE001 - reported to the test
                # An answer, always: the client waits for one even on a
                # closed connection.
                messages.append({"type": "unreadable", "error": repr(e)})
                conn.sendall(UNREADABLE)
                continue
            kind = message.info["messagetype"]
            messages.append(
                {
                    "type": kind,
                    "headers": message.headers,
                    "notifications": getattr(message, "notifications", []),
                }
            )
            reply = answer(mode, kind)
            if mode == "reset":
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
            elif reply is None and mode != "close":
                conn.recv(1)  # until the client gives up
            elif reply is not None:
                conn.sendall(reply)
        if mode == "gone":
            server.close()
            return


def main():
    messages = []
    server = socket.create_server(("127.0.0.1", PORT))
    threading.Thread(target=serve, args=(server, sys.argv[1], messages), daemon=True).start()
    print("ready", flush=True)
    sys.stdin.read()
    server.close()
    print(json.dumps(messages))


if __name__ == "__main__":
    main()
