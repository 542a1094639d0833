"""The 54 protocol command methods of SonvexClient, checked on the wire."""

import re

import pytest

from helpers import Command, FakeMediaServer, Session, SonvexClient, new_client, value_class


@pytest.fixture
def server():
    # A server that does not answer: what the client sent is all that matters here.
    with FakeMediaServer(reply=False) as s:
        yield s


Channels = value_class("Channels")
ECM = value_class("ECM")
N = None

# (method, parameter names, all-None arguments, line, full arguments, line).
# Methods with no optional parameter have a single form (full is None).
# Constant-class parameters can only be None: no constant can be created.
METHODS = [
    ("get_version", "", (), "GetVersion", N, N),
    ("get_protocol_version", "", (), "ProtocolVersion", N, N),
    ("login", "", (), "Login user1 pwd 2 3", N, N),
    ("logout", "", (), "Logout", N, N),
    ("quit", "", (), "Quit", N, N),
    ("resource_create_frontend", "reg_incoming_ani reg_incoming_dnis reg_incoming_rdn accepting",
     (N, N, N, N), "ResourceCreateFrontEnd",
     ("111", "222", "333", True),
     "ResourceCreateFrontEnd RegIncomingANI=111 RegIncomingDNIS=222 RegIncomingRDN=333 Accepting=1"),
    ("resource_create_player", "", (), "ResourceCreatePlayer", N, N),
    ("resource_create_recorder", "", (), "ResourceCreateRecorder", N, N),
    ("resource_create_transport_channel", "transport_type", ("TCP",),
     "ResourceCreateTransportChannel TCP", N, N),
    ("resource_create_rtp_channel", "in_band_dtmf_enabled", (N,), "ResourceCreateRtpChannel",
     (False,), "ResourceCreateRtpChannel InBandDTMFEnabled=0"),
    ("resource_create_sound_device", "direction device buffers", ("out", N, N),
     "ResourceCreateSoundDevice Direction=out",
     ("in", "hw:0", 8), "ResourceCreateSoundDevice Direction=in Device=hw:0 Buffers=8"),
    ("resource_create_fax", "", (), "ResourceCreateFax", N, N),
    ("resource_create_document", "", (), "ResourceCreateDocument", N, N),
    ("resource_delete", "resource_id", (4294967295,), "ResourceDelete 4294967295", N, N),
    ("resource_get_status", "resource_id", (0,), "ResourceGetStatus 0", N, N),
    ("call_make", "resource_id address timeout caller_number caller_name privacy screen",
     (7, "200", N, N, N, N, N), "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1",
     (7, "200", 45, "100", "Bob", 1, 0),
     "CallMake 7 200 TimeOut=45 CallerNumber=100 CallerName=Bob Privacy=1 Screen=0"),
    ("call_answer", "resource_id", (3,), "CallAnswer 3", N, N),
    ("call_clear", "resource_id reason", (3, N), "CallClear 3", (3, "busy"), "CallClear 3 Reason=busy"),
    ("call_transfer_consultation", "resource_id1 resource_id2", (1, 2),
     "CallTransferConsultation 1 2", N, N),
    ("call_transfer_blind", "resource_id address use_h450", (5, "300", N),
     "CallTransferBlind 5 300 UseH450=1", (5, "300", 0), "CallTransferBlind 5 300 UseH450=0"),
    ("call_hold", "resource_id", (4,), "CallHold 4", N, N),
    ("call_retrieve", "resource_id", (4,), "CallRetrieve 4", N, N),
    ("call_send_dtmf", "resource_id dtmf_string duration delay pause_duration", (3, "12#", N, N, N),
     "CallSendDTMF 3 12# Duration=300 Delay=200 PauseDuration=2000",
     (3, "12#", 0, 0, 0), "CallSendDTMF 3 12# Duration=0 Delay=0 PauseDuration=0"),
    ("call_stop_activity", "resource_id", (6,), "CallStopActivity 6", N, N),
    ("call_t38_relay", "resource_id1 resource_id2", (1, 2), "CallT38Relay 1 2", N, N),
    ("calls_set_alerting_type", "resource_id alerting_type", (2, "ring"),
     "CallsSetAlertingType 2 ring", N, N),
    ("calls_set_accepting", "resource_id accepting", (4, False), "CallsSetAccepting 4 0",
     (4, True), "CallsSetAccepting 4 1"),
    ("play_file", "resource_id file_name audio_type sample_rate channels index skip_bytes",
     (1, "a.wav", N, N, N, N, N), "PlayFile 1 a.wav",
     (1, "a.wav", N, 8000, Channels.Stereo, 3, -5),
     "PlayFile 1 a.wav SampleRate=8000 Channels=2 Index=3 SkipBytes=-5"),
    ("play_stream", "player_id transport_channel_id audio_type sample_rate buffer_optimum_size",
     (1, 2, N, N, N), "PlayStream 1 2",
     (1, 2, N, 16000, 4096), "PlayStream 1 2 SampleRate=16000 BufferOptimumSize=4096"),
    ("play_tone", "resource_id frequency frequency2 tone volume duration", (1, N, N, N, N, N),
     "PlayTone 1", (1, 440, 350, N, 255, 65535),
     "PlayTone 1 Frequency=440 Frequency2=350 Volume=255 Duration=65535"),
    ("play_stop", "resource_id", (1,), "PlayStop 1", N, N),
    ("recorder_start_to_file", "resource_id file_name audio_type sample_rate channels file_offset"
     " max_duration max_silence voice_trigger pause_if_empty",
     (1, "r.wav", N, N, N, N, N, N, N, N), "RecorderStartToFile 1 r.wav",
     (1, "r.wav", N, 8000, Channels.Mono, -1, 60000, 5000, True, False),
     "RecorderStartToFile 1 r.wav SampleRate=8000 Channels=1 FileOffset=-1 MaxDuration=60000"
     " MaxSilence=5000 VoiceTrigger=1 PauseIfEmpty=0"),
    ("recorder_start_to_stream", "recorder_id transport_channel_id audio_type sample_rate"
     " max_duration max_silence voice_trigger pause_if_empty",
     (1, 2, N, N, N, N, N, N), "RecorderStartToStream 1 2",
     (1, 2, N, 8000, 100, 200, False, True),
     "RecorderStartToStream 1 2 SampleRate=8000 MaxDuration=100 MaxSilence=200"
     " VoiceTrigger=0 PauseIfEmpty=1"),
    ("recorder_stop", "resource_id", (1,), "RecorderStop 1", N, N),
    ("rtp_channel_start_receiving", "resource_id sender_control_address receiver_data_address"
     " receiver_control_address payload_type rfc2833_payload_type rtp_session_id"
     " jitter_buffer_length_min jitter_buffer_length_max",
     (1, N, N, N, N, N, N, N, N), "RtpChannelStartReceiving 1",
     (1, "sc:5001", "rd:5000", "rc:5001", N, 101, 7, 20, 200),
     "RtpChannelStartReceiving 1 SenderControlAddress=sc:5001 ReceiverDataAddress=rd:5000"
     " ReceiverControlAddress=rc:5001 RFC2833PayloadType=101 RtpSessionId=7"
     " JitterBufferLengthMin=20 JitterBufferLengthMax=200"),
    ("rtp_channel_start_sending", "resource_id receiver_data_address receiver_control_address"
     " sender_data_address sender_control_address payload_type rfc2833_payload_type rtp_session_id",
     (1, "rd:5000", N, N, N, N, N, N), "RtpChannelStartSending 1 rd:5000",
     (1, "rd:5000", "rc:5001", "sd:6000", "sc:6001", N, 101, 9),
     "RtpChannelStartSending 1 rd:5000 ReceiverControlAddress=rc:5001 SenderDataAddress=sd:6000"
     " SenderControlAddress=sc:6001 RFC2833PayloadType=101 RtpSessionId=9"),
    ("rtp_channel_stop", "resource_id", (1,), "RtpChannelStop 1", N, N),
    ("rtp_channel_send_dtmf", "resource_id dtmf_string duration delay pause_duration",
     (3, "12#", N, N, N), "RtpChannelSendDTMF 3 12#",
     (3, "12#", 100, 50, 1000), "RtpChannelSendDTMF 3 12# Duration=100 Delay=50 PauseDuration=1000"),
    ("sound_device_start", "resource_id", (1,), "SoundDeviceStart 1", N, N),
    ("sound_device_stop", "resource_id", (1,), "SoundDeviceStop 1", N, N),
    ("fax_receive", "fax_resource_id frontend_resource_id document_resource_id fax_mode use_ecm csi",
     (1, 2, 3, N, N, N), "FaxReceive 1 2 3",
     (1, 2, 3, N, ECM.No, "csi"), "FaxReceive 1 2 3 UseECM=0 CSI=csi"),
    ("fax_send", "fax_resource_id frontend_resource_id document_resource_id speed use_ecm header tsi",
     (3, 1, 5, N, N, N, N), "FaxSend 3 1 5",
     (3, 1, 5, N, ECM.ECM256, "Hdr", "tsi"), "FaxSend 3 1 5 UseECM=256 Header=Hdr TSI=tsi"),
    ("fax_abort", "resource_id", (1,), "FaxAbort 1", N, N),
    ("document_add_file", "resource_id file_path transformation", (1, "/tmp/a.tif", N),
     "DocumentAddFile 1 /tmp/a.tif", N, N),
    ("document_prepare", "resource_id paper_size resolution", (1, N, N), "DocumentPrepare 1", N, N),
    ("document_save", "resource_id file_path multipage document_type", (1, "o.tif", N, N),
     "DocumentSave 1 o.tif", (1, "o.tif", True, N), "DocumentSave 1 o.tif Multipage=1"),
    ("document_clear", "resource_id", (1,), "DocumentClear 1", N, N),
    ("audio_send", "source_resource_id sink_resource_id source_channel sink_channel volume auto_gain"
     " auto_gain_resolution auto_gain_rise_time auto_gain_fall_time auto_gain_kill_time",
     (1, 2, N, N, N, N, N, N, N, N), "AudioSend 1 2",
     (1, 2, 0, 1, -12, True, 10, 20, 30, 40),
     "AudioSend 1 2 SourceChannel=0 SinkChannel=1 Volume=-12 AutoGain=1 AutoGainResolution=10"
     " AutoGainRiseTime=20 AutoGainFallTime=30 AutoGainKillTime=40"),
    ("audio_cancel", "source_resource_id sink_resource_id", (1, 2), "AudioCancel 1 2", N, N),
    ("audio_level_notification_send", "resource_id resolution voice_dead_band silence_dead_band"
     " adaptive_period voice_timer silence_timer", (1, N, N, N, N, N, N),
     "AudioLevelNotificationSend 1", (1, 1, 2, 3, 4, 5, 6),
     "AudioLevelNotificationSend 1 Resolution=1 VoiceDeadBand=2 SilenceDeadBand=3"
     " AdaptivePeriod=4 VoiceTimer=5 SilenceTimer=6"),
    ("audio_level_notification_cancel", "resource_id", (1,), "AudioLevelNotificationCancel 1", N, N),
    ("in_band_signaling_detection_enable", "resource_id", (1,), "InBandSignalingDetectionEnable 1", N, N),
    ("in_band_signaling_detection_disable", "resource_id", (1,), "InBandSignalingDetectionDisable 1", N, N),
    ("get_rtp_statistics", "resource_id", (1,), "GetRtpStatistics 1", N, N),
]

# Every call form as (id, method, parameter names, arguments, expected line).
CALLS = [(name + "-none", name, params.split(), args, line)
         for name, params, args, line, _, _ in METHODS]
CALLS += [(name + "-full", name, params.split(), args, line)
          for name, params, _, _, args, line in METHODS if args is not None]
CALL_IDS = [c[0] for c in CALLS]

NOT_METHODS = {"connect", "disconnect", "send_raw_command", "send_command", "print_details",
               "command_tag"}


def test_method_table_order():
    assert [m[0] for m in METHODS] == [
        "get_version", "get_protocol_version", "login", "logout", "quit",
        "resource_create_frontend", "resource_create_player", "resource_create_recorder",
        "resource_create_transport_channel", "resource_create_rtp_channel",
        "resource_create_sound_device", "resource_create_fax", "resource_create_document",
        "resource_delete", "resource_get_status", "call_make", "call_answer", "call_clear",
        "call_transfer_consultation", "call_transfer_blind", "call_hold", "call_retrieve",
        "call_send_dtmf", "call_stop_activity", "call_t38_relay", "calls_set_alerting_type",
        "calls_set_accepting", "play_file", "play_stream", "play_tone", "play_stop",
        "recorder_start_to_file", "recorder_start_to_stream", "recorder_stop",
        "rtp_channel_start_receiving", "rtp_channel_start_sending", "rtp_channel_stop",
        "rtp_channel_send_dtmf", "sound_device_start", "sound_device_stop", "fax_receive",
        "fax_send", "fax_abort", "document_add_file", "document_prepare", "document_save",
        "document_clear", "audio_send", "audio_cancel", "audio_level_notification_send",
        "audio_level_notification_cancel", "in_band_signaling_detection_enable",
        "in_band_signaling_detection_disable", "get_rtp_statistics"]
    # Both interpreters keep the class namespace in method-table order.
    assert [m for m in vars(SonvexClient)
            if not m.startswith("_") and m not in NOT_METHODS] == [m[0] for m in METHODS]


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
TEXT_PARAMS = [(name, i, params.split()[i], args)
               for name, params, none_args, _, full_args, _ in METHODS
               for args in [full_args or none_args]
               for i, a in enumerate(args) if isinstance(a, str)]


def test_text_parameters_found():
    assert ["%s.%s" % (t[0], t[2]) for t in TEXT_PARAMS] == [
        "resource_create_frontend.reg_incoming_ani", "resource_create_frontend.reg_incoming_dnis",
        "resource_create_frontend.reg_incoming_rdn", "resource_create_transport_channel.transport_type",
        "resource_create_sound_device.direction", "resource_create_sound_device.device",
        "call_make.address", "call_make.caller_number", "call_make.caller_name", "call_clear.reason",
        "call_transfer_blind.address", "call_send_dtmf.dtmf_string",
        "calls_set_alerting_type.alerting_type", "play_file.file_name",
        "recorder_start_to_file.file_name", "rtp_channel_start_receiving.sender_control_address",
        "rtp_channel_start_receiving.receiver_data_address",
        "rtp_channel_start_receiving.receiver_control_address",
        "rtp_channel_start_sending.receiver_data_address",
        "rtp_channel_start_sending.receiver_control_address",
        "rtp_channel_start_sending.sender_data_address",
        "rtp_channel_start_sending.sender_control_address", "rtp_channel_send_dtmf.dtmf_string",
        "fax_receive.csi", "fax_send.header", "fax_send.tsi", "document_add_file.file_path",
        "document_save.file_path"]


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
