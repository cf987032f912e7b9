#!/usr/bin/python3
"""Reads a /metrics page with the Prometheus client's own parser and checks that every family of
the status listener is there with values a running relay can have. Prints one line per fault;
exit status 0 when there is none, 1 otherwise.

usage: metrics_check.py METRICS_FILE"""
import math
import sys
import time

from prometheus_client.parser import text_string_to_metric_families

# family name as the parser gives it (counters without _total) -> type
FAMILIES = {
    "transcode_source_up": "gauge",
    "transcode_destination_up": "gauge",
    "transcode_source_bytes": "counter",
    "transcode_destination_bytes": "counter",
    "transcode_source_reconnects": "counter",
    "transcode_destination_reconnects": "counter",
    "transcode_last_audio_timestamp_seconds": "gauge",
    "transcode_input_buffer_seconds": "gauge",
    "transcode_titles": "counter",
    "transcode_title_delay_seconds": "histogram",
    "transcode_audio_peak_dbfs": "gauge",
    "transcode_audio_loudness_lufs": "gauge",
    "transcode_silence": "gauge",
    "transcode_build_info": "gauge",
    "process_cpu_seconds": "counter",
    "process_resident_memory_bytes": "gauge",
    "process_open_fds": "gauge",
    "process_start_time_seconds": "gauge",
}
SOURCE_REASONS = {"closed", "error", "stalled", "no_audio", "dead_air", "primary_back"}
DESTINATION_REASONS = {"send_error", "timeout", "encoder"}


def main(path):
    with open(path, encoding="utf-8") as page:
        families = {family.name: family for family in text_string_to_metric_families(page.read())}
    faults = []

    def value(name, labels=None):
        for family in families.values():
            for sample in family.samples:
                if sample.name == name and (labels is None or sample.labels == labels):
                    return sample.value
        faults.append(f"{name} {labels or ''} has no sample")
        return math.nan

    def expect(condition, text):
        if not condition:
            faults.append(text)

    for name, kind in FAMILIES.items():
        if name not in families:
            faults.append(f"family {name} is missing")
        elif families[name].type != kind:
            faults.append(f"family {name} is a {families[name].type}, not a {kind}")
    if faults:
        return faults

    now = time.time()
    expect(value("transcode_source_up") == 1, "the source is not up")
    expect(value("transcode_destination_up") == 1, "the destination is not up")
    expect(value("transcode_source_bytes_total") > 10000, "hardly any source bytes")
    expect(value("transcode_destination_bytes_total") > 10000, "hardly any destination bytes")
    for family, reasons in (("transcode_source_reconnects", SOURCE_REASONS),
                            ("transcode_destination_reconnects", DESTINATION_REASONS)):
        seen = {sample.labels.get("reason") for sample in families[family].samples}
        expect(seen == reasons, f"{family} reasons {sorted(seen)}, not {sorted(reasons)}")
        expect(all(sample.value >= 0 for sample in families[family].samples),
               f"{family} has a negative count")
    last_audio = value("transcode_last_audio_timestamp_seconds")
    expect(now - 10 < last_audio <= now + 1, f"last audio at {last_audio}, now is {now}")
    expect(0 <= value("transcode_input_buffer_seconds") <= 5, "input buffer out of range")
    titles = value("transcode_titles_total")
    expect(titles >= 1, "no title delivered")
    buckets = [(float(s.labels["le"]), s.value) for s in families["transcode_title_delay_seconds"].samples
               if s.name.endswith("_bucket")]
    counts = [count for _, count in sorted(buckets)]
    expect(counts == sorted(counts), "histogram buckets are not cumulative")
    expect(buckets and max(buckets)[0] == math.inf and max(buckets)[1] == titles,
           "the +Inf bucket is not the title count")
    expect(value("transcode_title_delay_seconds_count") == titles, "histogram count != titles")
    delay_sum = value("transcode_title_delay_seconds_sum")
    expect(0 <= delay_sum <= 10 * titles, f"title delays sum to {delay_sum} s")
    for name in ("transcode_audio_peak_dbfs", "transcode_audio_loudness_lufs"):
        level = value(name)
        expect(level == -math.inf or -200 < level <= 10, f"{name} is {level}")
    expect(value("transcode_silence") in (0, 1), "transcode_silence is neither 0 nor 1")
    versions = [s.labels.get("version", "") for s in families["transcode_build_info"].samples]
    expect(len(versions) == 1 and versions[0] != "", "build_info has no version label")
    expect(value("process_cpu_seconds_total") > 0, "no CPU time")
    expect(value("process_resident_memory_bytes") > 1 << 20, "resident memory under 1 MiB")
    expect(value("process_open_fds") >= 3, "fewer than 3 open descriptors")
    start = value("process_start_time_seconds")
    expect(now - 600 < start <= now, f"process started at {start}, now is {now}")
    return faults


if __name__ == "__main__":
    found = main(sys.argv[1])
    for fault in found:
        print(fault)
    sys.exit(1 if found else 0)
