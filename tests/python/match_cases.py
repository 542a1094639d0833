"""Structural pattern matching on commands; imported only on CPython 3.10 and later."""

from helpers import Command

_LOGIN_PAYLOAD = type(Command.login("u", "p", None, None, None)._0)


def classify(cmd):
    match cmd:
        case Command.Login(p):
            return "login", p
        case Command.Quit(p):
            return "quit", p
        case Command.CallMake(p):
            return "call_make", p
        case Command():
            return "other", None
    return "no match", None


def hold_payload_by_keyword(cmd):
    match cmd:
        case Command.CallHold(_0=p):
            return p
    return None


def is_login_payload(obj):
    match obj:
        case _LOGIN_PAYLOAD():
            return True
    return False
