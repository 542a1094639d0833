"""The protocol command methods of SonvexClient, checked on the wire."""

import re

import pytest

from helpers import Command, FakeMediaServer, Session, SonvexClient, new_client, value_class
from oracle import BY_METHOD, COMMAND_METHODS, METHOD_OF, METHOD_TABLE, TEXT_FIELDS, expected_line, sample_forms


@pytest.fixture
def server():
    # A server that does not answer: what the client sent is all that matters here.
    with FakeMediaServer(reply=False) as s:
        yield s


Channels = value_class("Channels")
ECM = value_class("ECM")
N = None

# Examples: (method, all-None arguments, line, full arguments, line).
# Methods with no optional parameter have a single form (full is None).
# Constant-class parameters can only be None: no constant can be created.
EXAMPLES = [
    ("get_version", (), "GetVersion", N, N),
    ("get_protocol_version", (), "ProtocolVersion", N, N),
    ("login", (), "Login user1 pwd 2 3", N, N),
    ("logout", (), "Logout", N, N),
    ("quit", (), "Quit", N, N),
    ("resource_create_frontend", (N, N, N, N), "ResourceCreateFrontEnd",
     ("111", "222", "333", True),
     "ResourceCreateFrontEnd RegIncomingANI=111 RegIncomingDNIS=222 RegIncomingRDN=333 Accepting=1"),
    ("resource_create_player", (), "ResourceCreatePlayer", N, N),
    ("resource_create_recorder", (), "ResourceCreateRecorder", N, N),
    ("resource_create_transport_channel", ("TCP",),
     "ResourceCreateTransportChannel TCP", N, N),
    ("resource_create_rtp_channel", (N,), "ResourceCreateRtpChannel",
     (False,), "ResourceCreateRtpChannel InBandDTMFEnabled=0"),
    ("resource_create_sound_device", ("out", N, N),
     "ResourceCreateSoundDevice Direction=out",
     ("in", "hw:0", 8), "ResourceCreateSoundDevice Direction=in Device=hw:0 Buffers=8"),
    ("resource_create_fax", (), "ResourceCreateFax", N, N),
    ("resource_create_document", (), "ResourceCreateDocument", N, N),
    ("resource_delete", (4294967295,), "ResourceDelete 4294967295", N, N),
    ("resource_get_status", (0,), "ResourceGetStatus 0", N, N),
    ("call_make", (7, "200", N, N, N, N, N), "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1",
     (7, "200", 45, "100", "Bob", 1, 0),
     "CallMake 7 200 TimeOut=45 CallerNumber=100 CallerName=Bob Privacy=1 Screen=0"),
    ("call_answer", (3,), "CallAnswer 3", N, N),
    ("call_clear", (3, N), "CallClear 3", (3, "busy"), "CallClear 3 Reason=busy"),
    ("call_transfer_consultation", (1, 2),
     "CallTransferConsultation 1 2", N, N),
    ("call_transfer_blind", (5, "300", N),
     "CallTransferBlind 5 300 UseH450=1", (5, "300", 0), "CallTransferBlind 5 300 UseH450=0"),
    ("call_hold", (4,), "CallHold 4", N, N),
    ("call_retrieve", (4,), "CallRetrieve 4", N, N),
    ("call_send_dtmf", (3, "12#", N, N, N),
     "CallSendDTMF 3 12# Duration=300 Delay=200 PauseDuration=2000",
     (3, "12#", 0, 0, 0), "CallSendDTMF 3 12# Duration=0 Delay=0 PauseDuration=0"),
    ("call_stop_activity", (6,), "CallStopActivity 6", N, N),
    ("call_t38_relay", (1, 2), "CallT38Relay 1 2", N, N),
    ("calls_set_alerting_type", (2, "ring"),
     "CallsSetAlertingType 2 ring", N, N),
    ("calls_set_accepting", (4, False), "CallsSetAccepting 4 0",
     (4, True), "CallsSetAccepting 4 1"),
    ("play_file", (1, "a.wav", N, N, N, N, N), "PlayFile 1 a.wav",
     (1, "a.wav", N, 8000, Channels.Stereo, 3, -5),
     "PlayFile 1 a.wav SampleRate=8000 Channels=2 Index=3 SkipBytes=-5"),
    ("play_stream", (1, 2, N, N, N), "PlayStream 1 2",
     (1, 2, N, 16000, 4096), "PlayStream 1 2 SampleRate=16000 BufferOptimumSize=4096"),
    ("play_tone", (1, N, N, N, N, N),
     "PlayTone 1", (1, 440, 350, N, 255, 65535),
     "PlayTone 1 Frequency=440 Frequency2=350 Volume=255 Duration=65535"),
    ("play_stop", (1,), "PlayStop 1", N, N),
    ("recorder_start_to_file", (1, "r.wav", N, N, N, N, N, N, N, N), "RecorderStartToFile 1 r.wav",
     (1, "r.wav", N, 8000, Channels.Mono, -1, 60000, 5000, True, False),
     "RecorderStartToFile 1 r.wav SampleRate=8000 Channels=1 FileOffset=-1 MaxDuration=60000"
     " MaxSilence=5000 VoiceTrigger=1 PauseIfEmpty=0"),
    ("recorder_start_to_stream", (1, 2, N, N, N, N, N, N), "RecorderStartToStream 1 2",
     (1, 2, N, 8000, 100, 200, False, True),
     "RecorderStartToStream 1 2 SampleRate=8000 MaxDuration=100 MaxSilence=200"
     " VoiceTrigger=0 PauseIfEmpty=1"),
    ("recorder_stop", (1,), "RecorderStop 1", N, N),
    ("rtp_channel_start_receiving", (1, N, N, N, N, N, N, N, N), "RtpChannelStartReceiving 1",
     (1, "sc:5001", "rd:5000", "rc:5001", N, 101, 7, 20, 200),
     "RtpChannelStartReceiving 1 SenderControlAddress=sc:5001 ReceiverDataAddress=rd:5000"
     " ReceiverControlAddress=rc:5001 RFC2833PayloadType=101 RtpSessionId=7"
     " JitterBufferLengthMin=20 JitterBufferLengthMax=200"),
    ("rtp_channel_start_sending", (1, "rd:5000", N, N, N, N, N, N), "RtpChannelStartSending 1 rd:5000",
     (1, "rd:5000", "rc:5001", "sd:6000", "sc:6001", N, 101, 9),
     "RtpChannelStartSending 1 rd:5000 ReceiverControlAddress=rc:5001 SenderDataAddress=sd:6000"
     " SenderControlAddress=sc:6001 RFC2833PayloadType=101 RtpSessionId=9"),
    ("rtp_channel_stop", (1,), "RtpChannelStop 1", N, N),
    ("rtp_channel_send_dtmf", (3, "12#", N, N, N), "RtpChannelSendDTMF 3 12#",
     (3, "12#", 100, 50, 1000), "RtpChannelSendDTMF 3 12# Duration=100 Delay=50 PauseDuration=1000"),
    ("sound_device_start", (1,), "SoundDeviceStart 1", N, N),
    ("sound_device_stop", (1,), "SoundDeviceStop 1", N, N),
    ("fax_receive", (1, 2, 3, N, N, N), "FaxReceive 1 2 3",
     (1, 2, 3, N, ECM.No, "csi"), "FaxReceive 1 2 3 UseECM=0 CSI=csi"),
    ("fax_send", (3, 1, 5, N, N, N, N), "FaxSend 3 1 5",
     (3, 1, 5, N, ECM.ECM256, "Hdr", "tsi"), "FaxSend 3 1 5 UseECM=256 Header=Hdr TSI=tsi"),
    ("fax_abort", (1,), "FaxAbort 1", N, N),
    ("document_add_file", (1, "/tmp/a.tif", N),
     "DocumentAddFile 1 /tmp/a.tif", N, N),
    ("document_prepare", (1, N, N), "DocumentPrepare 1", N, N),
    ("document_save", (1, "o.tif", N, N),
     "DocumentSave 1 o.tif", (1, "o.tif", True, N), "DocumentSave 1 o.tif Multipage=1"),
    ("document_clear", (1,), "DocumentClear 1", N, N),
    ("audio_send", (1, 2, N, N, N, N, N, N, N, N), "AudioSend 1 2",
     (1, 2, 0, 1, -12, True, 10, 20, 30, 40),
     "AudioSend 1 2 SourceChannel=0 SinkChannel=1 Volume=-12 AutoGain=1 AutoGainResolution=10"
     " AutoGainRiseTime=20 AutoGainFallTime=30 AutoGainKillTime=40"),
    ("audio_cancel", (1, 2), "AudioCancel 1 2", N, N),
    ("audio_level_notification_send", (1, N, N, N, N, N, N),
     "AudioLevelNotificationSend 1", (1, 1, 2, 3, 4, 5, 6),
     "AudioLevelNotificationSend 1 Resolution=1 VoiceDeadBand=2 SilenceDeadBand=3"
     " AdaptivePeriod=4 VoiceTimer=5 SilenceTimer=6"),
    ("audio_level_notification_cancel", (1,), "AudioLevelNotificationCancel 1", N, N),
    ("in_band_signaling_detection_enable", (1,), "InBandSignalingDetectionEnable 1", N, N),
    ("in_band_signaling_detection_disable", (1,), "InBandSignalingDetectionDisable 1", N, N),
    ("get_rtp_statistics", (1,), "GetRtpStatistics 1", N, N),
]

# Each method's parameter names, from the oracle.
PARAMS = {m: r.method_params for m, r in BY_METHOD.items()}


def _from_oracle(name):
    """A method the examples leave out, with arguments and lines made from
    the oracle."""
    forms = sample_forms(BY_METHOD[name].factory)
    return forms[0] + (forms[1] if len(forms) > 1 else (None, None))


# Every command method in method-table order, with its examples.
_EXAMPLE_OF = {e[0]: tuple(e[1:]) for e in EXAMPLES}
METHODS = [(name,) + (_EXAMPLE_OF.get(name) or _from_oracle(name)) for name in COMMAND_METHODS]
# Every call form as (id, method, parameter names, arguments, expected line).
CALLS = [(name + "-none", name, PARAMS[name], args, line)
         for name, args, line, _, _ in METHODS]
CALLS += [(name + "-full", name, PARAMS[name], args, line)
          for name, _, _, args, line in METHODS if args is not None]
CALL_IDS = [c[0] for c in CALLS]

def test_method_table_order():
    assert [e[0] for e in EXAMPLES if e[0] not in COMMAND_METHODS] == []
    # Both interpreters keep the class namespace in method-table order.
    assert [m for m in vars(SonvexClient) if not m.startswith("_")] == METHOD_TABLE


def test_lines_agree_with_the_oracle():
    for _id, name, _params, args, line in CALLS:
        if name != "login":
            assert expected_line(BY_METHOD[name].factory, args) == line, _id


@pytest.mark.parametrize("_id, name, params, args, line", CALLS, ids=CALL_IDS)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_method_sends_its_line(session, _id, name, params, args, line, by_keyword):
    method = getattr(session.client, name)
    result = method(**dict(zip(params, args))) if by_keyword else method(*args)
    assert result is None
    assert session.client.command_tag == 1
    assert session.conn.wait_for_bytes(len(line) + 14) == (line + " COMMANDTAG=0\n").encode()


@pytest.mark.parametrize("username, password, line", [
    ("alice", "s3cret", "Login alice s3cret 2 3"),
    ("", "", "Login   2 3"),
    ("bob", None, "Login bob pwd 2 3"),
])
def test_login_uses_stored_credentials(server, username, password, line):
    s = Session(server, username=username, password=password)
    s.client.login()
    assert s.lines(1) == [line + " COMMANDTAG=0"]
    s.client.disconnect()


def test_tags_consecutive_across_methods_and_send_paths(session):
    c = session.client
    expected = []
    for _id, name, _params, args, line in CALLS:
        tag = c.command_tag
        getattr(c, name)(*args)
        expected.append("%s COMMANDTAG=%d" % (line, tag))
        assert c.send_raw_command("Raw %d" % tag) == tag + 1
        expected.append("Raw %d COMMANDTAG=%d" % (tag, tag + 1))
        assert c.send_command(Command.call_hold(tag)) == tag + 2
        expected.append("CallHold %d COMMANDTAG=%d" % (tag, tag + 2))
        assert c.command_tag == tag + 3
    assert session.lines(len(expected)) == expected


@pytest.mark.parametrize("_id, name, params, args, line", CALLS[:len(METHODS)],
                         ids=[m[0] for m in METHODS])
def test_method_without_connection_raises_send_error(server, _id, name, params, args, line):
    # Every method reports the sending error itself, never an internal failure.
    c = new_client(server.port)
    with pytest.raises(RuntimeError) as info:
        getattr(c, name)(*args)
    assert str(info.value) == "No active connection to send message"
    assert type(info.value) is RuntimeError
    assert c.command_tag == 0
    c.connect()
    conn = server.wait_for_connections(1)[0]
    getattr(c, name)(*args)
    assert conn.wait_for_lines(1) == [(line + " COMMANDTAG=0").encode()]
    c.disconnect()
    with pytest.raises(RuntimeError, match="^No active connection to send message$"):
        getattr(c, name)(*args)
    assert c.command_tag == 1


# Text parameters, found as the str arguments of each method's fullest form.
TEXT_PARAMS = [(name, i, PARAMS[name][i], args)
               for name, none_args, _, full_args, _ in METHODS
               for args in [full_args or none_args]
               for i, a in enumerate(args) if isinstance(a, str)]


def test_text_parameters_found():
    # Every text parameter of every method (login takes none).
    assert sorted((t[0], t[2]) for t in TEXT_PARAMS) == sorted(
        (METHOD_OF[f], p) for f, p in TEXT_FIELDS if METHOD_OF[f] != "login")


@pytest.mark.parametrize("name, index, param, args", TEXT_PARAMS,
                         ids=["%s-%s" % (t[0], t[2]) for t in TEXT_PARAMS])
@pytest.mark.parametrize("brk", ["\n", "\r", "a\r\nb"], ids=["lf", "cr", "crlf"])
def test_line_break_in_text_argument_refused(session, name, index, param, args, brk):
    bad = list(args)
    bad[index] = "x" + brk
    with pytest.raises(ValueError) as info:
        getattr(session.client, name)(*bad)
    assert str(info.value) == "Line break in text argument: " + param
    assert session.client.command_tag == 0
    session.client.send_raw_command("After")
    assert session.conn.wait_for_lines(1) == [b"After COMMANDTAG=0"]


def test_line_break_refused_at_its_turn_in_conversion_order(session):
    c = session.client
    with pytest.raises(OverflowError):          # resource_id comes before address
        c.call_make(-1, "a\nb", None, None, None, None, None)
    with pytest.raises(ValueError, match="^Line break in text argument: address$"):
        c.call_make(7, "a\nb", 2 ** 40, None, None, None, None)
    with pytest.raises(TypeError, match="^argument 'timeout': "):
        c.call_make(7, "200", "30", "a\nb", None, None, None)
    with pytest.raises(ValueError, match="^Line break in text argument: caller_number$"):
        c.call_make(7, "200", 30, "a\nb", "c\nd", None, None)
    assert c.command_tag == 0


def test_reentry_through_index_is_refused(session):
    c = session.client

    class Reentrant:
        def __index__(self):
            c.play_stop(1)
            return 9

    with pytest.raises(RuntimeError) as info:
        c.play_stop(Reentrant())
    assert str(info.value) == "Already borrowed"
    assert c.command_tag == 0
    c.play_stop(2)
    assert session.conn.wait_for_bytes(21) == b"PlayStop 2 COMMANDTAG=0\n"


def test_methods_report_write_failure_unchanged(server):
    s = Session(server)
    s.client.get_version()
    s.conn.wait_for_lines(1)
    s.conn.reset()
    calls = [lambda: s.client.get_version(), lambda: s.client.call_hold(1),
             lambda: s.client.play_stop(1)]
    errors = []
    for i in range(200):
        try:
            calls[i % 3]()
        except OSError as exc:
            errors.append(exc)
            if len(errors) == 3:
                break
    assert len(errors) == 3
    assert s.client.command_tag == 1 + i - 2       # one tag per send that went through
    for exc in errors:
        assert type(exc) is OSError
        assert re.match(r"Failed to send message: .+ \(os error (32|104)\)$", str(exc))
    s.client.disconnect()
