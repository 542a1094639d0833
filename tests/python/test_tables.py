"""The C++ tables that the stub generator reads too (the command catalogue,
the field kinds, the client's other members): whatever their layout, the
generator reads every row of them, refuses what it cannot read, and needs no
edit of its own when a row is added."""

import ast

import pytest

from helpers import ROOT, SonvexClient, load_generator

generate_stubs = load_generator()
TableError = generate_stubs.TableError

TABLES = [ROOT / "src" / "core" / name for name in ("catalogue.def", "kinds.def")] + [
    ROOT / "src" / "client" / "client_members.def"]


def _catalogue():
    return generate_stubs.CATALOGUE.read_text(encoding="utf-8")


def _members():
    return generate_stubs.CLIENT_MEMBERS.read_text(encoding="utf-8")


def _stub_client(files):
    """Name -> ast.FunctionDef of each member of SonvexClient in the stubs."""
    tree = ast.parse(files["_client.pyi"])
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "SonvexClient")
    return {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}


# --- The rows, whatever their layout -------------------------------------------

@pytest.mark.parametrize("path", TABLES, ids=lambda p: p.name)
def test_no_table_line_is_over_120_characters(path):
    long_lines = [n for n, line in enumerate(path.read_text().splitlines(), 1) if len(line) > 120]
    assert long_lines == []


_ROW = "COMMAND(CallHold, call_hold, call_hold, REQ(resource_id, U32))\n"


@pytest.mark.parametrize("text", [
    "COMMAND(CallHold,\n        call_hold,  // the factory\n        call_hold,\n"
    "        /* the fields */ REQ(resource_id,\n                             U32))\n",
    "#define X(a, b) \\\n    a(b)\n" + _ROW + "#undef X\n",
    "COMMAND ( CallHold , call_hold , call_hold , REQ ( resource_id , U32 ) )",
], ids=["spread-with-comments", "directive-continued", "spaced"])
def test_a_row_reads_the_same_in_any_layout(text):
    assert generate_stubs.read_catalogue(text) == generate_stubs.read_catalogue(_ROW)


def test_the_committed_catalogue_reads_as_one_line_rows():
    # The rows joined into one line each, as the table once was.
    one_line = "".join(row.source() + "\n" for row in generate_stubs.read_rows(_catalogue()))
    assert max(map(len, one_line.splitlines())) > 120  # what the layout saves
    assert generate_stubs.read_catalogue(one_line) == generate_stubs.read_catalogue(_catalogue())


@pytest.mark.parametrize("text", [
    _ROW.replace("U32", "U31"),                                   # unknown kind
    _ROW.replace("REQ(resource_id, U32)", "REQ(resource_id, U32, 3)"),  # wrong arity
    _ROW.replace("REQ(", "REQUIRED("),                            # unknown field form
    _ROW + "CallAnswer\n" + _ROW.replace("CallHold", "CallAnswer"),  # text between rows
    _ROW + _ROW.replace("CallHold,", "CallRetrieve,"),              # factory name twice
    _ROW.replace("COMMAND", "LOGIN_COMMAND"),                     # unknown row form
    _ROW.replace("U32))", "U32)"),                                # unbalanced parentheses
    _ROW.replace("U32))", "U32), REQ(other, U32))"),               # a comma between fields
    _ROW.replace("resource_id,", '"resource_id",'),               # a literal for a name
    _ROW.replace("CallHold,", 'CallHold, "\\q",'),                 # an unknown escape
], ids=["kind", "arity", "form", "stray-text", "duplicate", "row-form", "parens", "comma",
        "literal", "escape"])
def test_catalogue_reader_refuses_what_it_cannot_read(text):
    generate_stubs.read_catalogue(_ROW)  # the row itself is fine
    with pytest.raises(TableError):
        generate_stubs.read_catalogue(text)


# --- The client's members ------------------------------------------------------

def test_every_member_row_is_in_the_stubs_and_the_module():
    rows = generate_stubs.read_catalogue(_catalogue())
    members = [m.name for m in generate_stubs.read_client_members(_members(), rows)]
    command_methods = [r.method for r in rows]
    stubs = set(_stub_client(generate_stubs.render(_catalogue())))
    assert stubs == {*members, *command_methods} - {"SonvexClient"}
    module = {name for name in vars(SonvexClient) if not name.startswith("_")}
    assert module == {*members, *command_methods} - {"SonvexClient", "__new__"}


_NEW_ROWS = {
    "method": ('CLIENT_METHOD(is_open, Shared, client_is_open, bool, (),\n'
               '    "Whether the client holds a connection.\\n\\n- a list item\\n  that goes on")\n',
               "def is_open(self) -> bool:",
               ['Whether the client holds a connection.', '', '- a list item that goes on']),
    "parameters": ('CLIENT_METHOD(send_twice, Exclusive, send_twice, int,\n'
                   '              (PARAM(message, param::RawText, "str"),\n'
                   '               PARAM(times, param::Optional<param::Of<core::Kind::U8>>,\n'
                   '                     "SupportsIndex | None")),\n'
                   '    "Sends " "it.\\n\\n    shown as it is")\n',
                   "def send_twice(self, message: str, times: SupportsIndex | None) -> int:",
                   ["Sends it.", "", "    shown as it is"]),
    "getter": ('CLIENT_GETTER(peer, Shared, client_peer, str, "The server\'s address.")\n',
               "def peer(self) -> str:", ["The server's address."]),
}


@pytest.mark.parametrize("form", list(_NEW_ROWS))
def test_a_new_member_row_needs_no_generator_edit(form):
    row, signature, doc = _NEW_ROWS[form]
    files = generate_stubs.render(_catalogue(), _members().replace("#undef CLIENT_CLASS",
                                                                   row + "#undef CLIENT_CLASS"))
    stub = files["_client.pyi"]
    assert "    " + signature + "\n" in stub
    node = _stub_client(files)[signature.split("(")[0][4:]]
    first, *rest = ast.get_docstring(node, clean=False).rstrip(" ").splitlines()
    assert [first] + [line[8:] for line in rest] == doc  # the indentation of the stubs' method
    assert (form == "getter") == ("property" in [ast.unparse(d) for d in node.decorator_list])


_METHOD = 'CLIENT_METHOD(connect, Exclusive, client_connect, None, (), "Opens.")\n'
_MEMBERS = ('CLIENT_CLASS("A client.")\nCLIENT_NEW(client_new, (), "Makes one.")\n' + _METHOD
            + "COMMAND_METHODS()\n")


@pytest.mark.parametrize("old, new", [
    ("CLIENT_METHOD", "CLIENT_FUNCTION"),                                   # unknown form
    (', "Opens."', ""),                                                     # no doc
    ("(connect", "(__new__"),                                               # a name twice
    ("(connect", "(call_hold"),                                             # a command's name
    ("()", '(message, "str")'),                                             # not PARAM rows
    ("()", 'PARAM(message, param::RawText, "str")'),                        # no list
    ("()", "(PARAM(message, param::RawText, str))"),                        # no literal
    ("COMMAND_METHODS()", ""),                                              # no command methods
    ("COMMAND_METHODS()", "COMMAND_METHODS() COMMAND_METHODS()"),          # twice
    ("CLIENT_NEW(client_new,", "CLIENT_METHOD(other, Exclusive, client_new, None,"),  # no __new__
    ('CLIENT_CLASS("A client.")', ""),                                      # no class
], ids=["form", "doc", "twice", "command", "param", "list", "annotation", "marker",
        "marker-twice", "new", "class"])
def test_member_reader_refuses_what_it_cannot_read(old, new):
    rows = generate_stubs.read_catalogue(_catalogue())
    generate_stubs.read_client_members(_MEMBERS, rows)  # the table itself is fine
    assert old in _MEMBERS
    with pytest.raises(TableError):
        generate_stubs.read_client_members(_MEMBERS.replace(old, new, 1), rows)
