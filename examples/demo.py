"""A short call-control session against a media server.

Usage: python examples/demo.py [HOST PORT]

Connects, logs in, creates a front-end, a player and a recorder, makes a
call, plays a file, sends DTMF, records, sends a fax, provokes two errors on
purpose (each announced as expected before it comes) and disconnects. The
client's reader thread prints every line the server answers as
"Received: ..."; this program prints what it sends as "Sending: ...", and
waits for the answer to each command before the next (a ReplyTap that also
prints the answers), for a readable transcript.
"""

import sys

import sonvex_rs
from sonvex_replies import ReplyTap


SonvexClient = sonvex_rs.client.SonvexClient
Command = sonvex_rs.commands.Command


def main(host="127.0.0.1", port=1234):
    with ReplyTap(echo=True) as tap:
        session(host, port, tap)


def session(host, port, tap):
    client = SonvexClient(host, port, None, "demo", "secret")
    client.print_details()
    client.connect()

    def step(description, action):
        # The tag the next line carries is the client's current command_tag.
        tag = client.command_tag
        print(f"Sending: {description} (COMMANDTAG={tag})", flush=True)
        action()
        tap.wait_for(tag)

    # 1. The one-method-per-command surface.
    step("login", client.login)
    step("protocol version", client.get_protocol_version)
    step("front-end", lambda: client.resource_create_frontend(None, None, None, True))
    step("player", client.resource_create_player)
    step("recorder", client.resource_create_recorder)
    step("call to 200 from front-end 1",
         lambda: client.call_make(1, "200", None, "100", "Demo", None, None))
    step("play greeting.wav on player 2",
         lambda: client.play_file(2, "greeting.wav", None, 8000, None, None, None))
    step("DTMF 12# on the call", lambda: client.call_send_dtmf(1, "12#", None, None, None))
    step("record to message.wav",
         lambda: client.recorder_start_to_file(3, "message.wav", None, 8000, None, None,
                                               30000, 5000, True, None))

    # 2. Command values: build, inspect, send; send_command returns the tag.
    fax = Command.resource_create_fax()
    document = Command.resource_create_document()
    for command in (fax, document, Command.document_add_file(5, "/tmp/letter.tif", None),
                    Command.fax_send(4, 1, 5, None, None, "Demo header", "+1 555 0100")):
        print(f"Sending: {command} (COMMANDTAG={client.command_tag})", flush=True)
        tag = client.send_command(command)  # returns the tag it sent
        assert tag == client.command_tag - 1
        tap.wait_for(tag)

    # 3. A ready-made line.
    print(f"Sending: CallClear 1 Reason=normal (COMMANDTAG={client.command_tag})", flush=True)
    tap.wait_for(client.send_raw_command("CallClear 1 Reason=normal"))

    # Errors are ordinary Python exceptions with exact messages. These two are
    # provoked on purpose, and each is announced before it comes.
    print("Calling call_make with 2 of its 7 arguments (expected: a TypeError)", flush=True)
    try:
        client.call_make(1, "200")
    except TypeError as error:
        print(f"TypeError: {error}", flush=True)
    print("Calling call_make with a line break in its address (expected: a ValueError)", flush=True)
    try:
        client.call_make(1, "200\r\nQuit", None, None, None, None, None)
    except ValueError as error:
        print(f"ValueError: {error}", flush=True)

    step("logout", client.logout)
    client.disconnect()
    # The server sees the end of our stream and closes; the reader then
    # prints "Connection closed.".
    tap.wait_closed()
    print(f"Commands sent: {client.command_tag}", flush=True)


if __name__ == "__main__":
    if len(sys.argv) == 3:
        main(sys.argv[1], int(sys.argv[2]))
    else:
        main()
