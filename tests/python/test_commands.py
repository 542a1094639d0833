"""Command factories: parameter lists, wire text, defaults, argument errors."""

import pytest

from conftest import Command
from test_values import value_class

Channels = value_class("Channels")
ECM = value_class("ECM")

MAX32 = 4294967295
MIN64 = -9223372036854775808
MAX64 = 9223372036854775807

# Every factory with its parameter names, in the order the commands are numbered.
PARAMS = {
    "protocol_version": (),
    "get_version": (),
    "login": ("username", "password", "major", "minor", "revision"),
    "logout": (),
    "quit": (),
    "resource_create_frontend": ("reg_incoming_ani", "reg_incoming_dnis", "reg_incoming_rdn", "accepting"),
    "resource_create_player": (),
    "resource_create_recorder": (),
    "resource_create_transport_channel": ("transport_type",),
    "resource_create_rtp_channel": ("in_band_dtmf_enabled",),
    "resource_create_sound_device": ("direction", "device", "buffers"),
    "resource_create_fax": (),
    "resource_create_document": (),
    "resource_delete": ("resource_id",),
    "resource_get_status": ("resource_id",),
    "call_make": ("resource_id", "address", "timeout", "caller_number", "caller_name", "privacy", "screen"),
    "call_answer": ("resource_id",),
    "call_clear": ("resource_id", "reason"),
    "call_transfer_consultation": ("resource_id1", "resource_id2"),
    "call_transfer_blind": ("resource_id", "address", "use_h450"),
    "call_hold": ("resource_id",),
    "call_retrieve": ("resource_id",),
    "call_send_dtmf": ("resource_id", "dtmf_string", "duration", "delay", "pause_duration"),
    "call_stop_activity": ("resource_id",),
    "call_t38_relay": ("resource_id1", "resource_id2"),
    "calls_set_alerting_type": ("resource_id", "alerting_type"),
    "calls_set_accepting": ("resource_id", "accepting"),
    "play_file": ("resource_id", "file_name", "audio_type", "sample_rate", "channels", "index", "skip_bytes"),
    "play_stream": ("player_id", "transport_channel_id", "audio_type", "sample_rate", "buffer_optimum_size"),
    "play_tone": ("resource_id", "frequency", "frequency2", "tone", "volume", "duration"),
    "play_stop": ("resource_id",),
    "recorder_start_to_file": ("resource_id", "file_name", "audio_type", "sample_rate", "channels", "file_offset",
                               "max_duration", "max_silence", "voice_trigger", "pause_if_empty"),
    "recorder_start_to_stream": ("recorder_id", "transport_channel_id", "audio_type", "sample_rate", "max_duration",
                                 "max_silence", "voice_trigger", "pause_if_empty"),
    "recorder_stop": ("resource_id",),
    "rtp_channel_start_receiving": ("resource_id", "sender_control_address", "receiver_data_address",
                                    "receiver_control_address", "payload_type", "rfc2833_payload_type",
                                    "rtp_session_id", "jitter_buffer_length_min", "jitter_buffer_length_max"),
    "rtp_channel_start_sending": ("resource_id", "receiver_data_address", "receiver_control_address",
                                  "sender_data_address", "sender_control_address", "payload_type",
                                  "rfc2833_payload_type", "rtp_session_id"),
    "rtp_channel_stop": ("resource_id",),
    "rtp_channel_send_dtmf": ("resource_id", "dtmf_string", "duration", "delay", "pause_duration"),
    "sound_device_start": ("resource_id",),
    "sound_device_stop": ("resource_id",),
    "fax_receive": ("fax_resource_id", "frontend_resource_id", "document_resource_id", "fax_mode", "use_ecm", "csi"),
    "fax_send": ("fax_resource_id", "frontend_resource_id", "document_resource_id", "speed", "use_ecm", "header",
                 "tsi"),
    "fax_abort": ("resource_id",),
    "document_add_file": ("resource_id", "file_path", "transformation"),
    "document_prepare": ("resource_id", "paper_size", "resolution"),
    "document_save": ("resource_id", "file_path", "multipage", "document_type"),
    "document_clear": ("resource_id",),
    "audio_send": ("source_resource_id", "sink_resource_id", "source_channel", "sink_channel", "volume", "auto_gain",
                   "auto_gain_resolution", "auto_gain_rise_time", "auto_gain_fall_time", "auto_gain_kill_time"),
    "audio_cancel": ("source_resource_id", "sink_resource_id"),
    "audio_level_notification_send": ("resource_id", "resolution", "voice_dead_band", "silence_dead_band",
                                      "adaptive_period", "voice_timer", "silence_timer"),
    "audio_level_notification_cancel": ("resource_id",),
    "in_band_signaling_detection_enable": ("resource_id",),
    "in_band_signaling_detection_disable": ("resource_id",),
    "get_rtp_statistics": ("resource_id",),
}
FACTORIES = list(PARAMS)
NO_ARG_FACTORIES = [f for f in FACTORIES if not PARAMS[f]]

# (factory, args, wire text). Factories with optional arguments have an all-None row
# first and an all-present row last; the constant-class arguments can only be None.
WIRE = [
    ("protocol_version", (), "ProtocolVersion"),
    ("get_version", (), "GetVersion"),
    ("login", ("user1", "pwd", None, None, None), "Login user1 pwd 2 3"),
    ("login", ("", "", 0, 255, 7), "Login   0 255 7"),
    ("logout", (), "Logout"),
    ("quit", (), "Quit"),
    ("resource_create_frontend", (None, None, None, None), "ResourceCreateFrontEnd"),
    ("resource_create_frontend", ("1234", "", "5678", False),
     "ResourceCreateFrontEnd RegIncomingANI=1234 RegIncomingDNIS= RegIncomingRDN=5678 Accepting=0"),
    ("resource_create_player", (), "ResourceCreatePlayer"),
    ("resource_create_recorder", (), "ResourceCreateRecorder"),
    ("resource_create_transport_channel", ("",), "ResourceCreateTransportChannel "),
    ("resource_create_transport_channel", ("TCP",), "ResourceCreateTransportChannel TCP"),
    ("resource_create_rtp_channel", (None,), "ResourceCreateRtpChannel"),
    ("resource_create_rtp_channel", (True,), "ResourceCreateRtpChannel InBandDTMFEnabled=1"),
    ("resource_create_sound_device", ("", None, None), "ResourceCreateSoundDevice Direction="),
    ("resource_create_sound_device", ("Out", "hw:0", 255), "ResourceCreateSoundDevice Direction=Out Device=hw:0 Buffers=255"),
    ("resource_create_fax", (), "ResourceCreateFax"),
    ("resource_create_document", (), "ResourceCreateDocument"),
    ("resource_delete", (0,), "ResourceDelete 0"),
    ("resource_delete", (MAX32,), "ResourceDelete 4294967295"),
    ("resource_get_status", (MAX32,), "ResourceGetStatus 4294967295"),
    ("call_make", (7, "200", None, None, None, None, None), "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1"),
    ("call_make", (MAX32, "sip:200@pbx", 0, "100", "Ann Lee", 255, 0),
     "CallMake 4294967295 sip:200@pbx TimeOut=0 CallerNumber=100 CallerName=Ann Lee Privacy=255 Screen=0"),
    ("call_answer", (0,), "CallAnswer 0"),
    ("call_clear", (4, None), "CallClear 4"),
    ("call_clear", (4, ""), "CallClear 4 Reason="),
    ("call_transfer_consultation", (0, MAX32), "CallTransferConsultation 0 4294967295"),
    ("call_transfer_blind", (1, "", None), "CallTransferBlind 1  UseH450=1"),
    ("call_transfer_blind", (1, "300", 0), "CallTransferBlind 1 300 UseH450=0"),
    ("call_hold", (MAX32,), "CallHold 4294967295"),
    ("call_retrieve", (0,), "CallRetrieve 0"),
    ("call_send_dtmf", (3, "123", None, None, None), "CallSendDTMF 3 123 Duration=300 Delay=200 PauseDuration=2000"),
    ("call_send_dtmf", (3, "*#9", 0, MAX32, 1), "CallSendDTMF 3 *#9 Duration=0 Delay=4294967295 PauseDuration=1"),
    ("call_stop_activity", (MAX32,), "CallStopActivity 4294967295"),
    ("call_t38_relay", (MAX32, 0), "CallT38Relay 4294967295 0"),
    ("calls_set_alerting_type", (1, ""), "CallsSetAlertingType 1 "),
    ("calls_set_alerting_type", (1, "ring"), "CallsSetAlertingType 1 ring"),
    ("calls_set_accepting", (1, False), "CallsSetAccepting 1 0"),
    ("calls_set_accepting", (1, True), "CallsSetAccepting 1 1"),
    ("play_file", (1, "a.wav", None, None, None, None, None), "PlayFile 1 a.wav"),
    ("play_file", (1, "", None, 8000, Channels.Stereo, MAX32, MIN64),
     "PlayFile 1  SampleRate=8000 Channels=2 Index=4294967295 SkipBytes=-9223372036854775808"),
    ("play_stream", (1, 2, None, None, None), "PlayStream 1 2"),
    ("play_stream", (1, 2, None, 65535, 0), "PlayStream 1 2 SampleRate=65535 BufferOptimumSize=0"),
    ("play_tone", (1, None, None, None, None, None), "PlayTone 1"),
    ("play_tone", (1, 0, 65535, None, 255, 1000), "PlayTone 1 Frequency=0 Frequency2=65535 Volume=255 Duration=1000"),
    ("play_stop", (0,), "PlayStop 0"),
    ("recorder_start_to_file", (1, "rec.wav", None, None, None, None, None, None, None, None),
     "RecorderStartToFile 1 rec.wav"),
    ("recorder_start_to_file", (1, "rec.wav", None, 16000, Channels.Mono, -1, 60000, 0, True, False),
     "RecorderStartToFile 1 rec.wav SampleRate=16000 Channels=1 FileOffset=-1 MaxDuration=60000 MaxSilence=0 "
     "VoiceTrigger=1 PauseIfEmpty=0"),
    ("recorder_start_to_stream", (1, 2, None, None, None, None, None, None), "RecorderStartToStream 1 2"),
    ("recorder_start_to_stream", (1, 2, None, 8000, 0, MAX32, False, True),
     "RecorderStartToStream 1 2 SampleRate=8000 MaxDuration=0 MaxSilence=4294967295 VoiceTrigger=0 PauseIfEmpty=1"),
    ("recorder_stop", (MAX32,), "RecorderStop 4294967295"),
    ("rtp_channel_start_receiving", (1, None, None, None, None, None, None, None, None), "RtpChannelStartReceiving 1"),
    ("rtp_channel_start_receiving", (1, "10.0.0.1:5001", "10.0.0.2:5000", "", None, 101, 0, 20, 65535),
     "RtpChannelStartReceiving 1 SenderControlAddress=10.0.0.1:5001 ReceiverDataAddress=10.0.0.2:5000 "
     "ReceiverControlAddress= RFC2833PayloadType=101 RtpSessionId=0 JitterBufferLengthMin=20 "
     "JitterBufferLengthMax=65535"),
    ("rtp_channel_start_sending", (1, "10.0.0.2:5000", None, None, None, None, None, None),
     "RtpChannelStartSending 1 10.0.0.2:5000"),
    ("rtp_channel_start_sending", (1, "10.0.0.2:5000", "10.0.0.2:5001", "10.0.0.1:4000", "10.0.0.1:4001", None, 255, 7),
     "RtpChannelStartSending 1 10.0.0.2:5000 ReceiverControlAddress=10.0.0.2:5001 SenderDataAddress=10.0.0.1:4000 "
     "SenderControlAddress=10.0.0.1:4001 RFC2833PayloadType=255 RtpSessionId=7"),
    ("rtp_channel_stop", (0,), "RtpChannelStop 0"),
    ("rtp_channel_send_dtmf", (3, "123", None, None, None), "RtpChannelSendDTMF 3 123"),
    ("rtp_channel_send_dtmf", (3, "123", 300, 200, 2000), "RtpChannelSendDTMF 3 123 Duration=300 Delay=200 PauseDuration=2000"),
    ("sound_device_start", (MAX32,), "SoundDeviceStart 4294967295"),
    ("sound_device_stop", (0,), "SoundDeviceStop 0"),
    ("fax_receive", (1, 2, 3, None, None, None), "FaxReceive 1 2 3"),
    ("fax_receive", (1, 2, 3, None, ECM.No, "+49 30 1234"), "FaxReceive 1 2 3 UseECM=0 CSI=+49 30 1234"),
    ("fax_send", (1, 2, 3, None, None, None, None), "FaxSend 1 2 3"),
    ("fax_send", (0, MAX32, 7, None, ECM.ECM256, "", "TSI 1"), "FaxSend 0 4294967295 7 UseECM=256 Header= TSI=TSI 1"),
    ("fax_abort", (MAX32,), "FaxAbort 4294967295"),
    ("document_add_file", (1, "", None), "DocumentAddFile 1 "),
    ("document_add_file", (1, "/tmp/page.tif", None), "DocumentAddFile 1 /tmp/page.tif"),
    ("document_prepare", (1, None, None), "DocumentPrepare 1"),
    ("document_save", (1, "out.tif", None, None), "DocumentSave 1 out.tif"),
    ("document_save", (1, "out.tif", False, None), "DocumentSave 1 out.tif Multipage=0"),
    ("document_clear", (0,), "DocumentClear 0"),
    ("audio_send", (1, 2, None, None, None, None, None, None, None, None), "AudioSend 1 2"),
    ("audio_send", (1, 2, 0, 255, -32768, True, 0, 65535, 10, 20),
     "AudioSend 1 2 SourceChannel=0 SinkChannel=255 Volume=-32768 AutoGain=1 AutoGainResolution=0 "
     "AutoGainRiseTime=65535 AutoGainFallTime=10 AutoGainKillTime=20"),
    ("audio_cancel", (0, MAX32), "AudioCancel 0 4294967295"),
    ("audio_level_notification_send", (1, None, None, None, None, None, None), "AudioLevelNotificationSend 1"),
    ("audio_level_notification_send", (1, 100, 0, 2, 3, 4, 65535),
     "AudioLevelNotificationSend 1 Resolution=100 VoiceDeadBand=0 SilenceDeadBand=2 AdaptivePeriod=3 VoiceTimer=4 "
     "SilenceTimer=65535"),
    ("audio_level_notification_cancel", (MAX32,), "AudioLevelNotificationCancel 4294967295"),
    ("in_band_signaling_detection_enable", (0,), "InBandSignalingDetectionEnable 0"),
    ("in_band_signaling_detection_disable", (MAX32,), "InBandSignalingDetectionDisable 4294967295"),
    ("get_rtp_statistics", (0,), "GetRtpStatistics 0"),
]
# Valid arguments for every factory: the last (fullest) row of each.
FULL_ARGS = {f: args for f, args, _ in WIRE}


def build(factory, **changes):
    """Call a factory by keyword with its full arguments, some replaced."""
    kwargs = dict(zip(PARAMS[factory], FULL_ARGS[factory]))
    kwargs.update(changes)
    return getattr(Command, factory)(**kwargs)


def test_wire_table_covers_every_factory():
    assert sorted(FULL_ARGS) == sorted(FACTORIES)


@pytest.mark.parametrize("factory, args, text", WIRE)
def test_wire_text(factory, args, text):
    cmd = getattr(Command, factory)(*args)
    assert str(cmd) == text
    # The same command bound by keyword renders identically.
    assert str(getattr(Command, factory)(**dict(zip(PARAMS[factory], args)))) == text


@pytest.mark.parametrize("factory, args, text", [
    ("login", ("u", "p", 2, 3, None), "Login u p 2 3"),
    ("login", ("u", "p", 1, 0, 0), "Login u p 1 0 0"),
    ("login", ("u", "p", None, 9, None), "Login u p 2 9"),
    ("call_make", (7, "200", 30000, None, None, 0, 1), "CallMake 7 200 TimeOut=30000 Privacy=0 Screen=1"),
    ("call_make", (7, "200", None, None, "", 5, None), "CallMake 7 200 TimeOut=30000 CallerName= Privacy=5 Screen=1"),
    ("call_make", (7, "200", 1, "", None, None, 6), "CallMake 7 200 TimeOut=1 CallerNumber= Privacy=0 Screen=6"),
    ("call_transfer_blind", (1, "300", 1), "CallTransferBlind 1 300 UseH450=1"),
    ("call_transfer_blind", (1, "300", 255), "CallTransferBlind 1 300 UseH450=255"),
    ("call_send_dtmf", (3, "1", 300, 200, 2000), "CallSendDTMF 3 1 Duration=300 Delay=200 PauseDuration=2000"),
    ("call_send_dtmf", (3, "1", None, 0, None), "CallSendDTMF 3 1 Duration=300 Delay=0 PauseDuration=2000"),
    ("rtp_channel_send_dtmf", (3, "1", None, 0, None), "RtpChannelSendDTMF 3 1 Delay=0"),
    ("audio_send", (1, 2, None, None, 32767, None, None, None, None, None), "AudioSend 1 2 Volume=32767"),
    ("play_file", (1, "f", None, None, None, None, MAX64), "PlayFile 1 f SkipBytes=9223372036854775807"),
    ("resource_delete", (True,), "ResourceDelete 1"),
])
def test_defaults_and_explicit_values(factory, args, text):
    assert str(getattr(Command, factory)(*args)) == text


def test_factory_names_in_order():
    assert [n for n in vars(Command) if n[:1].islower()] == FACTORIES
    assert FACTORIES[:5] == ["protocol_version", "get_version", "login", "logout", "quit"]
    assert len(FACTORIES) == 54


@pytest.mark.parametrize("factory", FACTORIES)
def test_signature(factory):
    expected = "(" + ", ".join(PARAMS[factory]) + ")"
    assert getattr(Command, factory).__text_signature__ == expected
    assert not getattr(Command, factory).__doc__


def test_factories_through_instance_and_variant_class():
    cmd = Command.call_hold(5)
    assert Command.login.__text_signature__ == "(username, password, major, minor, revision)"
    assert Command.quit.__text_signature__ == "()"
    assert cmd.login.__text_signature__ == "(username, password, major, minor, revision)"
    assert Command.Quit.quit.__text_signature__ == "()"
    assert str(cmd.call_hold(6)) == "CallHold 6"
    assert str(Command.Login.quit()) == "Quit"
    assert str(cmd) == "CallHold 5"


@pytest.mark.parametrize("factory", NO_ARG_FACTORIES)
def test_no_argument_factories_refuse_arguments(factory):
    assert len(NO_ARG_FACTORIES) == 8
    with pytest.raises(TypeError):
        getattr(Command, factory)(1)
    with pytest.raises(TypeError):
        getattr(Command, factory)(x=1)
    with pytest.raises(TypeError):
        getattr(Command, factory)(None)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: Command.login("a", "b"), TypeError,
     "Command.login() missing 3 required positional arguments: 'major', 'minor', and 'revision'"),
    (lambda: Command.call_hold(1, 2), TypeError, "Command.call_hold() takes 1 positional arguments but 2 were given"),
    (lambda: Command.call_make(7, 200, None, None, None, None, None), TypeError,
     "argument 'address': 'int' object cannot be converted to 'PyString'"),
    (lambda: Command.login(None, "p", None, None, None), TypeError,
     "argument 'username': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Command.call_clear(4), TypeError, "Command.call_clear() missing 1 required positional argument: 'reason'"),
    (lambda: Command.call_hold(5, resource_id=5), TypeError,
     "Command.call_hold() got multiple values for argument 'resource_id'"),
    (lambda: Command.call_hold(rid=5), TypeError, "Command.call_hold() got an unexpected keyword argument 'rid'"),
    (lambda: Command.calls_set_accepting(1, 1), TypeError,
     "argument 'accepting': 'int' object cannot be converted to 'PyBool'"),
    (lambda: Command.resource_create_rtp_channel(0), TypeError,
     "argument 'in_band_dtmf_enabled': 'int' object cannot be converted to 'PyBool'"),
    (lambda: Command.resource_create_sound_device(), TypeError,
     "Command.resource_create_sound_device() missing 3 required positional arguments: "
     "'direction', 'device', and 'buffers'"),
    (lambda: Command.resource_create_sound_device(direction="x"), TypeError,
     "Command.resource_create_sound_device() missing 2 required positional arguments: 'device' and 'buffers'"),
    (lambda: Command.resource_delete(MAX32 + 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: Command.play_tone(1, None, None, None, 256, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.play_tone(1, 65536, None, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.audio_send(1, 2, None, None, -32769, None, None, None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.login("u", "p", -1, None, None), OverflowError, "out of range integral type conversion attempted"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    lambda: Command.resource_delete(-1),
    lambda: Command.resource_delete(2 ** 64),
    lambda: Command.play_file(1, "f", None, None, None, None, MAX64 + 1),
    lambda: Command.play_file(1, "f", None, None, None, None, MIN64 - 1),
])
def test_interpreter_overflow_has_no_argument_prefix(call):
    with pytest.raises(OverflowError) as info:
        call()
    assert not str(info.value).startswith("argument")


def test_resource_id_of_wrong_type_names_parameter():
    with pytest.raises(TypeError) as info:
        Command.resource_delete("1")
    assert str(info.value).startswith("argument 'resource_id': ")


def test_each_call_returns_a_new_object():
    a, b = Command.call_hold(5), Command.call_hold(5)
    assert a is not b and a != b
    assert str(a) == str(b)


# Every text parameter of every factory.
TEXT_PARAMS = [
    ("login", "username"), ("login", "password"),
    ("resource_create_frontend", "reg_incoming_ani"), ("resource_create_frontend", "reg_incoming_dnis"),
    ("resource_create_frontend", "reg_incoming_rdn"),
    ("resource_create_transport_channel", "transport_type"),
    ("resource_create_sound_device", "direction"), ("resource_create_sound_device", "device"),
    ("call_make", "address"), ("call_make", "caller_number"), ("call_make", "caller_name"),
    ("call_clear", "reason"),
    ("call_transfer_blind", "address"),
    ("call_send_dtmf", "dtmf_string"),
    ("calls_set_alerting_type", "alerting_type"),
    ("play_file", "file_name"),
    ("recorder_start_to_file", "file_name"),
    ("rtp_channel_start_receiving", "sender_control_address"),
    ("rtp_channel_start_receiving", "receiver_data_address"),
    ("rtp_channel_start_receiving", "receiver_control_address"),
    ("rtp_channel_start_sending", "receiver_data_address"),
    ("rtp_channel_start_sending", "receiver_control_address"),
    ("rtp_channel_start_sending", "sender_data_address"),
    ("rtp_channel_start_sending", "sender_control_address"),
    ("rtp_channel_send_dtmf", "dtmf_string"),
    ("fax_receive", "csi"),
    ("fax_send", "header"), ("fax_send", "tsi"),
    ("document_add_file", "file_path"),
    ("document_save", "file_path"),
]


class Text(str):
    pass


@pytest.mark.parametrize("bad", ["\r", "\n", "a\r\nb", Text("x\ny")])
@pytest.mark.parametrize("factory, param", TEXT_PARAMS)
def test_line_break_in_text_refused(factory, param, bad):
    with pytest.raises(ValueError) as info:
        build(factory, **{param: bad})
    assert str(info.value) == "Line break in text argument: " + param


@pytest.mark.parametrize("factory, param", TEXT_PARAMS)
def test_other_characters_go_out_unchanged(factory, param):
    odd = "a b=c\td\u00fc\u20ac\u2028\x0b\x0c\x85\x00e"
    cmd = build(factory, **{param: odd})
    assert str(cmd) == str(build(factory, **{param: "@@"})).replace("@@", odd)
    assert str(build(factory, **{param: Text("plain")})) == str(build(factory, **{param: "plain"}))


@pytest.mark.parametrize("call, exc, message", [
    # An earlier bad value wins over a later line break ...
    (lambda: Command.call_make("7", "a\nb", None, None, None, None, None), TypeError, "argument 'resource_id': "),
    (lambda: Command.call_make(7, "ok", MAX32 + 1, "a\n", None, None, None), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: Command.fax_send(1, 2, 3, None, 5, "h\n", None), TypeError,
     "argument 'use_ecm': 'int' object cannot be converted to 'ECM'"),
    (lambda: Command.resource_create_sound_device(5, "d\n", None), TypeError,
     "argument 'direction': 'int' object cannot be converted to 'PyString'"),
    # ... and an earlier line break wins over a later bad value.
    (lambda: Command.call_make(7, "a\nb", MAX32 + 1, None, None, None, None), ValueError,
     "Line break in text argument: address"),
    (lambda: Command.login("u\r", "p\n", None, None, None), ValueError, "Line break in text argument: username"),
    (lambda: Command.login("u", "p\n", 256, None, None), ValueError, "Line break in text argument: password"),
    (lambda: Command.resource_create_sound_device("d\n", None, 256), ValueError,
     "Line break in text argument: direction"),
    (lambda: Command.fax_send(1, 2, 3, None, None, "h\n", 5), ValueError, "Line break in text argument: header"),
])
def test_conversion_order_with_line_breaks(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(message)


def test_text_without_utf8_form_is_refused():
    with pytest.raises(UnicodeEncodeError):
        Command.call_clear(1, "\ud800")
