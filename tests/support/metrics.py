"""Prometheus's text format, as mirebox-stats writes it and node_exporter
serves it, read back."""

import re

from support.waiting import wait_until

SAMPLE = re.compile(r"(?P<name>[a-zA-Z_:][a-zA-Z0-9_:]*(?:\{[^}]*\})?) (?P<value>\S+)")


def parse_metrics(text):
    """{'name{labels}': value} of every sample."""
    samples = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            match = SAMPLE.fullmatch(line)
            assert match, line
            samples[match["name"]] = float(match["value"])
    return samples


def read_metrics(path):
    """The samples of a metrics file; none while there is no such file."""
    try:
        with open(path, encoding="utf-8") as text:
            return parse_metrics(text.read())
    except FileNotFoundError:
        return {}


def total(samples, name):
    """The sum of a family's series, whatever their labels (a host's, or
    none); None without any."""
    values = [value for key, value in samples.items() if key == name or key.startswith(name + "{")]
    return sum(values) if values else None


def wait_for_metrics(path, expected):
    """Waits until the metrics file holds each sample of `expected`,
    {'name{labels}': value}, and returns its samples."""
    def holding():
        samples = read_metrics(path)
        return samples if samples and all(samples.get(name) == value
                                          for name, value in expected.items()) else None
    return wait_until(holding, lambda: f"{expected} in {path}, which holds "
                      f"{ {k: v for k, v in read_metrics(path).items() if k in expected} }")
