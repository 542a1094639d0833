"""Time building a command and taking its wire text.

For each command family four things are timed side by side:

  module  str(Command.<factory>(...)): build the command in the module and render it;
  factory Command.<factory>(...) alone: one call into the module that returns a
          new command object;
  python  a pure-Python function that formats the same line with an f-string,
          handling None and the defaults the same way (it checks nothing);
  floor   sonvex_rs.sum_as_string(1, 2): the cheapest call into the module that
          returns a new str, i.e. the fixed cost of crossing into the module.

Each statement is run NUMBER times per repeat, timed with time.perf_counter_ns,
and the best of REPEAT repeats is reported in ns per call.

    python benchmarks/bench_commands.py [--number N] [--repeat R]
"""

import argparse
import platform
import sys
import time
import timeit

import sonvex_rs

Command = sonvex_rs.commands.Command
sum_as_string = sonvex_rs.sum_as_string


def py_login(username, password, major, minor, revision):
    line = f"Login {username} {password} {2 if major is None else major} {3 if minor is None else minor}"
    return line if revision is None else f"{line} {revision}"


def py_call_make(resource_id, address, timeout, caller_number, caller_name, privacy, screen):
    line = f"CallMake {resource_id} {address} TimeOut={30000 if timeout is None else timeout}"
    if caller_number is not None:
        line += f" CallerNumber={caller_number}"
    if caller_name is not None:
        line += f" CallerName={caller_name}"
    return f"{line} Privacy={0 if privacy is None else privacy} Screen={1 if screen is None else screen}"


def py_play_file(resource_id, file_name, audio_type, sample_rate, channels, index, skip_bytes):
    line = f"PlayFile {resource_id} {file_name}"
    if audio_type is not None:
        line += f" Type={audio_type}"
    if sample_rate is not None:
        line += f" SampleRate={sample_rate}"
    if channels is not None:
        line += f" Channels={int(channels)}"
    if index is not None:
        line += f" Index={index}"
    if skip_bytes is not None:
        line += f" SkipBytes={skip_bytes}"
    return line


def py_fax_send(fax_resource_id, frontend_resource_id, document_resource_id, speed, use_ecm, header, tsi):
    line = f"FaxSend {fax_resource_id} {frontend_resource_id} {document_resource_id}"
    if speed is not None:
        line += f" Speed={speed}"
    if use_ecm is not None:
        line += f" UseECM={int(use_ecm)}"
    if header is not None:
        line += f" Header={header}"
    if tsi is not None:
        line += f" TSI={tsi}"
    return line


def py_audio_send(source_resource_id, sink_resource_id, source_channel, sink_channel, volume, auto_gain,
                  auto_gain_resolution, auto_gain_rise_time, auto_gain_fall_time, auto_gain_kill_time):
    line = f"AudioSend {source_resource_id} {sink_resource_id}"
    if source_channel is not None:
        line += f" SourceChannel={source_channel}"
    if sink_channel is not None:
        line += f" SinkChannel={sink_channel}"
    if volume is not None:
        line += f" Volume={volume}"
    if auto_gain is not None:
        line += f" AutoGain={int(auto_gain)}"
    if auto_gain_resolution is not None:
        line += f" AutoGainResolution={auto_gain_resolution}"
    if auto_gain_rise_time is not None:
        line += f" AutoGainRiseTime={auto_gain_rise_time}"
    if auto_gain_fall_time is not None:
        line += f" AutoGainFallTime={auto_gain_fall_time}"
    if auto_gain_kill_time is not None:
        line += f" AutoGainKillTime={auto_gain_kill_time}"
    return line


def py_get_rtp_statistics(resource_id):
    return f"GetRtpStatistics {resource_id}"


# (label, factory, arguments as source text)
CASES = [
    ("call_make", "call_make", '7, "200", None, "100", None, None, None'),
    ("login", "login", '"user1", "pwd", None, None, None'),
    ("play_file", "play_file", '1, "prompt.wav", None, 8000, None, None, None'),
    ("fax_send", "fax_send", '1, 2, 3, None, None, "ACME fax", "+49 30 1234"'),
    ("audio_send", "audio_send", "1, 2, 0, 1, -3, True, 5, 10, 20, 30"),
    ("get_rtp_statistics", "get_rtp_statistics", "5"),
]

NAMESPACE = dict(globals())


def best_ns(stmt, number, repeat):
    timer = timeit.Timer(stmt, timer=time.perf_counter_ns, globals=NAMESPACE)
    timer.timeit(max(1, number // 10))  # warm-up (lets PyPy's JIT compile the loop)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000)
    parser.add_argument("--repeat", type=int, default=7)
    opts = parser.parse_args()

    print(f"{platform.python_implementation()} {platform.python_version()} on {platform.machine()}; "
          f"best of {opts.repeat} x {opts.number:,} calls")
    floor = best_ns("sum_as_string(1, 2)", opts.number, opts.repeat)

    header = (f"{'command':<20} {'module ns':>10} {'python ns':>10} {'factory ns':>11} {'floor ns':>9} "
              f"{'mod/py':>7} {'factory/floor':>13}")
    print(header)
    print("-" * len(header))
    for label, factory, args in CASES:
        module_stmt = f"str(Command.{factory}({args}))"
        python_stmt = f"py_{factory}({args})"
        module_text, python_text = eval(module_stmt, NAMESPACE), eval(python_stmt, NAMESPACE)
        if module_text != python_text:
            sys.exit(f"{label}: module gives {module_text!r}, pure Python gives {python_text!r}")
        module_ns = best_ns(module_stmt, opts.number, opts.repeat)
        python_ns = best_ns(python_stmt, opts.number, opts.repeat)
        factory_ns = best_ns(f"Command.{factory}({args})", opts.number, opts.repeat)
        print(f"{label:<20} {module_ns:>10.1f} {python_ns:>10.1f} {factory_ns:>11.1f} {floor:>9.1f} "
              f"{module_ns / python_ns:>7.2f} {factory_ns / floor:>13.2f}")


if __name__ == "__main__":
    main()
