"""Wire text examples for every factory, and their parameters (from the
oracle): what several test modules build commands from."""

from helpers import Command, value_class
from oracle import ORACLE, sample_forms

_channels, _ecm = value_class("Channels"), value_class("ECM")
MONO, STEREO = _channels.Mono, _channels.Stereo
ECM_NO, ECM_256 = _ecm.No, _ecm.ECM256
del _channels, _ecm

MAX32 = 4294967295
MIN64 = -9223372036854775808
MAX64 = 9223372036854775807

# Every factory with its parameter names, in the order the commands are numbered.
PARAMS = {r.factory: r.params for r in ORACLE}
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
    ("play_file", (1, "", None, 8000, STEREO, MAX32, MIN64),
     "PlayFile 1  SampleRate=8000 Channels=2 Index=4294967295 SkipBytes=-9223372036854775808"),
    ("play_stream", (1, 2, None, None, None), "PlayStream 1 2"),
    ("play_stream", (1, 2, None, 65535, 0), "PlayStream 1 2 SampleRate=65535 BufferOptimumSize=0"),
    ("play_tone", (1, None, None, None, None, None), "PlayTone 1"),
    ("play_tone", (1, 0, 65535, None, 255, 1000), "PlayTone 1 Frequency=0 Frequency2=65535 Volume=255 Duration=1000"),
    ("play_stop", (0,), "PlayStop 0"),
    ("recorder_start_to_file", (1, "rec.wav", None, None, None, None, None, None, None, None),
     "RecorderStartToFile 1 rec.wav"),
    ("recorder_start_to_file", (1, "rec.wav", None, 16000, MONO, -1, 60000, 0, True, False),
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
    ("fax_receive", (1, 2, 3, None, ECM_NO, "+49 30 1234"), "FaxReceive 1 2 3 UseECM=0 CSI=+49 30 1234"),
    ("fax_send", (1, 2, 3, None, None, None, None), "FaxSend 1 2 3"),
    ("fax_send", (0, MAX32, 7, None, ECM_256, "", "TSI 1"), "FaxSend 0 4294967295 7 UseECM=256 Header= TSI=TSI 1"),
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
# A command the examples above leave out is still checked, with arguments
# and wire text made from the oracle.
WIRE += [(r.factory, args, line)
         for r in ORACLE if r.factory not in {f for f, _, _ in WIRE}
         for args, line in sample_forms(r.factory)]
# Valid arguments for every factory: the last (fullest) row of each.
FULL_ARGS = {f: args for f, args, _ in WIRE}


def build(factory, **changes):
    """Call a factory by keyword with its full arguments, some replaced."""
    kwargs = dict(zip(PARAMS[factory], FULL_ARGS[factory]))
    kwargs.update(changes)
    return getattr(Command, factory)(**kwargs)
