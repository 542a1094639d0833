"""Typed use of sonvex_rs: the three ways to send a command, command tags,
pattern matching on command variants, and the exceptions the client raises.

Usage: python examples/typed_example.py [HOST PORT]

The stubs in stubs/ (installed with the module as sonvex_rs-stubs) describe
the extension module to a type checker; both of these report no error:

    MYPYPATH=stubs python -m mypy --strict examples/typed_example.py
    pyright examples/typed_example.py   # strict mode; stubPath "stubs" or installed stubs
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

import sonvex_rs

if TYPE_CHECKING:
    # Payload classes exist at run time only as the class of a command's _0:
    # annotations may name them (as sonvex_rs.commands.CallMake), code cannot
    # reach them. The submodules are attributes of the extension module, not
    # importable names, so `from sonvex_rs.commands import ...` fails at run
    # time and the type checkers refuse it; `from sonvex_rs import commands`
    # works in both.
    from sonvex_rs import commands

SonvexClient = sonvex_rs.client.SonvexClient
Command = sonvex_rs.commands.Command


def describe(command: Command) -> str:
    """One line about a command, chosen by its variant."""
    match command:
        case Command.CallMake(payload):
            return f"a call, payload {type(payload).__name__}: {command}"
        case Command.CallSendDTMF() | Command.RtpChannelSendDTMF():
            return f"DTMF digits: {command}"
        case Command.Login() | Command.Logout():
            return "a session command"
        case _:
            return f"{type(command).__name__}: {command}"


def redial(call: Command.CallMake) -> Command.CallMake:
    """A new command with the same payload (and so the same wire text)."""
    payload: commands.CallMake = call._0
    assert len(call) == 1 and type(call[0]) is type(payload)
    return Command.CallMake(payload)


def send_three_ways(client: SonvexClient) -> list[int]:
    """Sends commands in each of the three ways; returns the tags they carried."""
    tags: list[int] = []

    # 1. One method per command. It returns None; the tag the line carries is
    #    the client's command_tag before the call.
    for send in (client.login,
                 lambda: client.call_make(1, "200", None, "100", None, None, None)):
        tags.append(client.command_tag)
        send()

    # 2. Command values, built by a factory or from another command's payload;
    #    send_command returns the tag it sent.
    call = Command.call_make(1, "300", 45, None, None, None, None)
    for command in (Command.call_send_dtmf(1, "12#", None, None, 2000), call, redial(call)):
        print(describe(command))
        tags.append(client.send_command(command))

    # 3. A ready-made line; send_raw_command returns the tag too.
    tags.append(client.send_raw_command("CallClear 1 Reason=normal"))
    return tags


def show_errors(host: str) -> None:
    """The exceptions of the client, each with its message."""
    try:
        SonvexClient("media-server.local", None, None, None, None)
    except ValueError as error:  # only literal IP addresses are accepted
        print(f"ValueError: {error}")

    offline = SonvexClient(host, 1, None, None, None)
    try:
        offline.play_stop(1)
    except RuntimeError as error:  # not connected
        print(f"RuntimeError: {error}")
    try:
        offline.resource_delete(2**32)
    except OverflowError as error:  # resource identifiers are unsigned 32-bit
        print(f"OverflowError: {error}")
    try:
        Command.call_make(1, "200\r\nQuit", None, None, None, None, None)
    except ValueError as error:  # a text argument cannot start a second line
        print(f"ValueError: {error}")
    try:
        # The type checker refuses this call as well; at run time it is a TypeError.
        Command.calls_set_accepting(1, 1)  # type: ignore[arg-type]
    except TypeError as error:
        print(f"TypeError: {error}")
    try:
        offline.connect()
    except OSError as error:  # nothing listens on port 1
        print(f"OSError: {error}")
    else:
        offline.disconnect()
    # Internal failures raise sonvex_rs.PanicException, which derives from
    # BaseException: an `except Exception` handler does not catch it.


def main(host: str = "127.0.0.1", port: int = 1234) -> None:
    client = SonvexClient(host, port, None, "typed", "secret")
    client.connect()
    try:
        tags = send_three_ways(client)
    finally:
        client.disconnect()
    print(f"tags sent: {tags}; next tag: {client.command_tag}")
    show_errors(host)


if __name__ == "__main__":
    if len(sys.argv) == 3:
        main(sys.argv[1], int(sys.argv[2]))
    else:
        main()
