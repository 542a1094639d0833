"""The tests' own table of the protocol commands, one row each, typed from
the protocol's description and never read from the module's catalogue: what
the module does is checked against it, so a mistake in one is not copied
into the other. Every list of commands in the tests follows from it.

A row: the variant, its factory, its client method, the method's place in
the client's method table, the method's group (1: login, resources and
calls, which the protocol's description would have turn a failed send into
PanicException; 2: the others. The module raises the sending error in both,
a deliberate difference the README lists), the opening text of its wire
line, and its fields in order, each written as

    name:kind            a required value, written after the opening text
    name:kind=D          the same, and the factory writes D when given None
    name:kind?Key        optional, written as " Key=" and the value
    name:kind?           optional, written as " " and the value (no key)
    name:kind?Key=D      optional, and the factory and method write D for None

Kinds: u8 u16 u32 i16 i64 bool text, the enumerations Channels and ECM, and
the constant classes AudioFormatType PayloadType ToneType
ConstantWithDescription.
"""

import re
from typing import NamedTuple, Optional

# (variant, factory, method, place in the method table, group, opening text, fields)
_ROWS = [
    ("ProtocolVersion", "protocol_version", "get_protocol_version", 1, 1, "ProtocolVersion", ""),
    ("GetVersion", "get_version", "get_version", 0, 1, "GetVersion", ""),
    ("Login", "login", "login", 2, 1, "Login ",
     "username:text password:text major:u8=2 minor:u8=3 revision:u8?"),
    ("Logout", "logout", "logout", 3, 1, "Logout", ""),
    ("Quit", "quit", "quit", 4, 1, "Quit", ""),
    ("ResourceCreateFrontEnd", "resource_create_frontend", "resource_create_frontend", 5, 1,
     "ResourceCreateFrontEnd", "reg_incoming_ani:text?RegIncomingANI reg_incoming_dnis:text?RegIncomingDNIS "
     "reg_incoming_rdn:text?RegIncomingRDN accepting:bool?Accepting"),
    ("ResourceCreatePlayer", "resource_create_player", "resource_create_player", 6, 1, "ResourceCreatePlayer", ""),
    ("ResourceCreateRecorder", "resource_create_recorder", "resource_create_recorder", 7, 1,
     "ResourceCreateRecorder", ""),
    ("ResourceCreateTransportChannel", "resource_create_transport_channel", "resource_create_transport_channel", 8, 1,
     "ResourceCreateTransportChannel ", "transport_type:text"),
    ("ResourceCreateRtpChannel", "resource_create_rtp_channel", "resource_create_rtp_channel", 9, 1,
     "ResourceCreateRtpChannel", "in_band_dtmf_enabled:bool?InBandDTMFEnabled"),
    ("ResourceCreateSoundDevice", "resource_create_sound_device", "resource_create_sound_device", 10, 1,
     "ResourceCreateSoundDevice Direction=", "direction:text device:text?Device buffers:u8?Buffers"),
    ("ResourceCreateFax", "resource_create_fax", "resource_create_fax", 11, 1, "ResourceCreateFax", ""),
    ("ResourceCreateDocument", "resource_create_document", "resource_create_document", 12, 1,
     "ResourceCreateDocument", ""),
    ("ResourceDelete", "resource_delete", "resource_delete", 13, 1, "ResourceDelete ", "resource_id:u32"),
    ("ResourceGetStatus", "resource_get_status", "resource_get_status", 14, 1, "ResourceGetStatus ",
     "resource_id:u32"),
    ("CallMake", "call_make", "call_make", 15, 1, "CallMake ",
     "resource_id:u32 address:text timeout:u32?TimeOut=30000 caller_number:text?CallerNumber "
     "caller_name:text?CallerName privacy:u8?Privacy=0 screen:u8?Screen=1"),
    ("CallAnswer", "call_answer", "call_answer", 16, 1, "CallAnswer ", "resource_id:u32"),
    ("CallClear", "call_clear", "call_clear", 17, 1, "CallClear ", "resource_id:u32 reason:text?Reason"),
    ("CallTransferConsultation", "call_transfer_consultation", "call_transfer_consultation", 18, 1,
     "CallTransferConsultation ", "resource_id1:u32 resource_id2:u32"),
    ("CallTransferBlind", "call_transfer_blind", "call_transfer_blind", 19, 1, "CallTransferBlind ",
     "resource_id:u32 address:text use_h450:u8?UseH450=1"),
    ("CallHold", "call_hold", "call_hold", 20, 1, "CallHold ", "resource_id:u32"),
    ("CallRetrieve", "call_retrieve", "call_retrieve", 21, 1, "CallRetrieve ", "resource_id:u32"),
    ("CallSendDTMF", "call_send_dtmf", "call_send_dtmf", 22, 1, "CallSendDTMF ",
     "resource_id:u32 dtmf_string:text duration:u32?Duration=300 delay:u32?Delay=200 "
     "pause_duration:u32?PauseDuration=2000"),
    ("CallStopActivity", "call_stop_activity", "call_stop_activity", 23, 1, "CallStopActivity ", "resource_id:u32"),
    ("CallT38Relay", "call_t38_relay", "call_t38_relay", 24, 1, "CallT38Relay ",
     "resource_id1:u32 resource_id2:u32"),
    ("CallsSetAlertingType", "calls_set_alerting_type", "calls_set_alerting_type", 25, 1, "CallsSetAlertingType ",
     "resource_id:u32 alerting_type:text"),
    ("CallsSetAccepting", "calls_set_accepting", "calls_set_accepting", 26, 1, "CallsSetAccepting ",
     "resource_id:u32 accepting:bool"),
    ("PlayFile", "play_file", "play_file", 27, 2, "PlayFile ",
     "resource_id:u32 file_name:text audio_type:AudioFormatType?Type sample_rate:u16?SampleRate "
     "channels:Channels?Channels index:u32?Index skip_bytes:i64?SkipBytes"),
    ("PlayStream", "play_stream", "play_stream", 28, 2, "PlayStream ",
     "player_id:u32 transport_channel_id:u32 audio_type:AudioFormatType?Type sample_rate:u16?SampleRate "
     "buffer_optimum_size:u32?BufferOptimumSize"),
    ("PlayTone", "play_tone", "play_tone", 29, 2, "PlayTone ",
     "resource_id:u32 frequency:u16?Frequency frequency2:u16?Frequency2 tone:ToneType?Tone volume:u8?Volume "
     "duration:u16?Duration"),
    ("PlayStop", "play_stop", "play_stop", 30, 2, "PlayStop ", "resource_id:u32"),
    ("RecorderStartToFile", "recorder_start_to_file", "recorder_start_to_file", 31, 2, "RecorderStartToFile ",
     "resource_id:u32 file_name:text audio_type:AudioFormatType?Type sample_rate:u16?SampleRate "
     "channels:Channels?Channels file_offset:i64?FileOffset max_duration:u32?MaxDuration "
     "max_silence:u32?MaxSilence voice_trigger:bool?VoiceTrigger pause_if_empty:bool?PauseIfEmpty"),
    ("RecorderStartToStream", "recorder_start_to_stream", "recorder_start_to_stream", 32, 2,
     "RecorderStartToStream ",
     "recorder_id:u32 transport_channel_id:u32 audio_type:AudioFormatType?Type sample_rate:u16?SampleRate "
     "max_duration:u32?MaxDuration max_silence:u32?MaxSilence voice_trigger:bool?VoiceTrigger "
     "pause_if_empty:bool?PauseIfEmpty"),
    ("RecorderStop", "recorder_stop", "recorder_stop", 33, 2, "RecorderStop ", "resource_id:u32"),
    ("RtpChannelStartReceiving", "rtp_channel_start_receiving", "rtp_channel_start_receiving", 34, 2,
     "RtpChannelStartReceiving ",
     "resource_id:u32 sender_control_address:text?SenderControlAddress "
     "receiver_data_address:text?ReceiverDataAddress receiver_control_address:text?ReceiverControlAddress "
     "payload_type:PayloadType?PayloadType rfc2833_payload_type:u8?RFC2833PayloadType "
     "rtp_session_id:u8?RtpSessionId jitter_buffer_length_min:u16?JitterBufferLengthMin "
     "jitter_buffer_length_max:u16?JitterBufferLengthMax"),
    ("RtpChannelStartSending", "rtp_channel_start_sending", "rtp_channel_start_sending", 35, 2,
     "RtpChannelStartSending ",
     "resource_id:u32 receiver_data_address:text receiver_control_address:text?ReceiverControlAddress "
     "sender_data_address:text?SenderDataAddress sender_control_address:text?SenderControlAddress "
     "payload_type:PayloadType?PayloadType rfc2833_payload_type:u8?RFC2833PayloadType "
     "rtp_session_id:u8?RtpSessionId"),
    ("RtpChannelStop", "rtp_channel_stop", "rtp_channel_stop", 36, 2, "RtpChannelStop ", "resource_id:u32"),
    ("RtpChannelSendDTMF", "rtp_channel_send_dtmf", "rtp_channel_send_dtmf", 37, 2, "RtpChannelSendDTMF ",
     "resource_id:u32 dtmf_string:text duration:u32?Duration delay:u32?Delay pause_duration:u32?PauseDuration"),
    ("SoundDeviceStart", "sound_device_start", "sound_device_start", 38, 2, "SoundDeviceStart ", "resource_id:u32"),
    ("SoundDeviceStop", "sound_device_stop", "sound_device_stop", 39, 2, "SoundDeviceStop ", "resource_id:u32"),
    ("FaxReceive", "fax_receive", "fax_receive", 40, 2, "FaxReceive ",
     "fax_resource_id:u32 frontend_resource_id:u32 document_resource_id:u32 "
     "fax_mode:ConstantWithDescription?FaxMode use_ecm:ECM?UseECM csi:text?CSI"),
    ("FaxSend", "fax_send", "fax_send", 41, 2, "FaxSend ",
     "fax_resource_id:u32 frontend_resource_id:u32 document_resource_id:u32 "
     "speed:ConstantWithDescription?Speed use_ecm:ECM?UseECM header:text?Header tsi:text?TSI"),
    ("FaxAbort", "fax_abort", "fax_abort", 42, 2, "FaxAbort ", "resource_id:u32"),
    ("DocumentAddFile", "document_add_file", "document_add_file", 43, 2, "DocumentAddFile ",
     "resource_id:u32 file_path:text transformation:ConstantWithDescription?Transformation"),
    ("DocumentPrepare", "document_prepare", "document_prepare", 44, 2, "DocumentPrepare ",
     "resource_id:u32 paper_size:ConstantWithDescription?PaperSize resolution:ConstantWithDescription?Resolution"),
    ("DocumentSave", "document_save", "document_save", 45, 2, "DocumentSave ",
     "resource_id:u32 file_path:text multipage:bool?Multipage document_type:ConstantWithDescription?DocumentType"),
    ("DocumentClear", "document_clear", "document_clear", 46, 2, "DocumentClear ", "resource_id:u32"),
    ("AudioSend", "audio_send", "audio_send", 47, 2, "AudioSend ",
     "source_resource_id:u32 sink_resource_id:u32 source_channel:u8?SourceChannel sink_channel:u8?SinkChannel "
     "volume:i16?Volume auto_gain:bool?AutoGain auto_gain_resolution:u16?AutoGainResolution "
     "auto_gain_rise_time:u16?AutoGainRiseTime auto_gain_fall_time:u16?AutoGainFallTime "
     "auto_gain_kill_time:u16?AutoGainKillTime"),
    ("AudioCancel", "audio_cancel", "audio_cancel", 48, 2, "AudioCancel ",
     "source_resource_id:u32 sink_resource_id:u32"),
    ("AudioLevelNotificationSend", "audio_level_notification_send", "audio_level_notification_send", 49, 2,
     "AudioLevelNotificationSend ",
     "resource_id:u32 resolution:u16?Resolution voice_dead_band:u16?VoiceDeadBand "
     "silence_dead_band:u16?SilenceDeadBand adaptive_period:u16?AdaptivePeriod voice_timer:u16?VoiceTimer "
     "silence_timer:u16?SilenceTimer"),
    ("AudioLevelNotificationCancel", "audio_level_notification_cancel", "audio_level_notification_cancel", 50, 2,
     "AudioLevelNotificationCancel ", "resource_id:u32"),
    ("InBandSignalingDetectionEnable", "in_band_signaling_detection_enable", "in_band_signaling_detection_enable",
     51, 2, "InBandSignalingDetectionEnable ", "resource_id:u32"),
    ("InBandSignalingDetectionDisable", "in_band_signaling_detection_disable",
     "in_band_signaling_detection_disable", 52, 2, "InBandSignalingDetectionDisable ", "resource_id:u32"),
    ("GetRtpStatistics", "get_rtp_statistics", "get_rtp_statistics", 53, 2, "GetRtpStatistics ", "resource_id:u32"),
]

# The client's methods that are not commands, before and after the command
# methods in its method table.
METHODS_BEFORE = ["connect", "disconnect", "send_raw_command", "send_command"]
METHODS_AFTER = ["print_details", "command_tag"]

# The integer kinds and their ranges.
INT_RANGES = {"u8": (0, 2**8 - 1), "u16": (0, 2**16 - 1), "u32": (0, 2**32 - 1),
              "i16": (-2**15, 2**15 - 1), "i64": (-2**63, 2**63 - 1)}
CONSTANT_KINDS = ("AudioFormatType", "PayloadType", "ToneType", "ConstantWithDescription")
KINDS = (*INT_RANGES, "bool", "text", "Channels", "ECM", *CONSTANT_KINDS)


class Field(NamedTuple):
    name: str
    kind: str
    key: Optional[str]       # None: required; else what precedes the value (" Key=" or " ")
    default: Optional[int]   # what a factory writes when given None


class Row(NamedTuple):
    variant: str
    factory: str
    method: str
    place: int
    group: int
    opening: str
    fields: tuple

    @property
    def params(self):
        return tuple(f.name for f in self.fields)

    @property
    def method_params(self):
        # The client's login takes its credentials and version from the client.
        return () if self.method == "login" else self.params



_FIELD = re.compile(r"(\w+):(\w+)(?:\?(\w*))?(?:=(-?\d+))?")


def _field(token):
    name, kind, key, default = _FIELD.fullmatch(token).groups()
    assert kind in KINDS, token
    if key is not None:
        key = " %s=" % key if key else " "
    return Field(name, kind, key, None if default is None else int(default))


ORACLE = [Row(v, f, m, p, g, o, tuple(_field(t) for t in fields.split())) for v, f, m, p, g, o, fields in _ROWS]
COUNT = len(ORACLE)
BY_FACTORY = {r.factory: r for r in ORACLE}
BY_METHOD = {r.method: r for r in ORACLE}
VARIANTS = [r.variant for r in ORACLE]
FACTORIES = [r.factory for r in ORACLE]
METHOD_OF = {r.factory: r.method for r in ORACLE}
COMMAND_METHODS = [r.method for r in sorted(ORACLE, key=lambda r: r.place)]
METHOD_TABLE = METHODS_BEFORE + COMMAND_METHODS + METHODS_AFTER
# (factory, parameter) for every text field.
TEXT_FIELDS = [(r.factory, f.name) for r in ORACLE for f in r.fields if f.kind == "text"]
# (factory, parameter, kind) for every integer field.
INT_FIELDS = [(r.factory, f.name, f.kind) for r in ORACLE for f in r.fields if f.kind in INT_RANGES]


def wire_value(value):
    """A value's text on the wire: digits for numbers and enumeration members,
    1 or 0 for booleans, texts and constants as they are."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, (int, str)):
        return str(value)
    if type(value).__name__ in ("Channels", "ECM"):
        return str(int(value))
    return str(value)


def expected_line(factory, args):
    """The wire text of a factory's command for these arguments, from the
    table alone: the opening text, the required values one space apart, then
    each present optional value after its key."""
    row = BY_FACTORY[factory]
    required, optional = [], []
    for f, value in zip(row.fields, args):
        if value is None:
            value = f.default
        if f.key is None:
            required.append(wire_value(value))
        elif value is not None:
            optional.append(f.key + wire_value(value))
    return row.opening + " ".join(required) + "".join(optional)


def sample_args(factory, full):
    """Valid arguments for a factory, from the table alone: every optional
    value None, or (full) present where a value can be made here (constants
    cannot be made, enumeration members are not looked up)."""
    samples = {"bool": True, "text": "t"}
    args = []
    for f in BY_FACTORY[factory].fields:
        if f.key is not None and not full:
            args.append(None)
        elif f.kind in INT_RANGES:
            args.append(INT_RANGES[f.kind][1] if f.key else 7)
        else:
            args.append(samples.get(f.kind))
    return tuple(args)


def sample_forms(factory):
    """(arguments, wire text) for the all-None and the fullest arguments that
    sample_args makes; one form when the two are the same."""
    forms = dict.fromkeys([sample_args(factory, False), sample_args(factory, True)])
    return [(args, expected_line(factory, args)) for args in forms]
