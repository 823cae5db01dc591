"""Plain-Python model of korrin.utils.summary. Like the native module it reads
`yaml`, `textwrap`, `logger` and `Msg` as module globals each time a method
runs, so rebinding them here redirects the model the same way."""
import yaml
import logging
import textwrap

logger = logging.getLogger()


class Summary:
    def __init__(self, title, width):
        self.lenght = 4
        self.title = title
        self.width = width
        self.summary_msgs = []
        self.title_line = "+{m}+".format(m="=" * (width - 2))
        self.subtitle_line = "{s}{m}{s}".format(s="|", m="=" * (width - 2))
        self.sep_line = "{s}{m}{s}".format(s="|", m="-" * (width - 2))
        self.star_line = "{s}{m}{s}".format(s="|", m="*" * (width - 2))
        self.add_title_line()
        self.add_message(title)
        self.add_title_line()

    def add_title_line(self):
        self.summary_msgs.append(Msg(self.title_line, level="info"))

    def add_subtitle_line(self):
        self.summary_msgs.append(Msg(self.subtitle_line, level="info"))

    def add_sep_line(self):
        self.summary_msgs.append(Msg(self.sep_line, level="info"))

    def add_star_line(self):
        self.summary_msgs.append(Msg(self.star_line, level="info"))

    def add_message(self, msg, indent=False, level="info"):
        if len(level) > self.lenght:
            self.lenght = len(level)
        # Wrapped at width - 4 so that every row is exactly `width` wide.
        if isinstance(msg, list):
            lines = []
            for item in msg:
                lines.extend(textwrap.wrap(item, self.width - 4))
        else:
            lines = textwrap.wrap(msg, self.width - 4)
        for line in lines:
            row = "| {msg} {l:>{width}}".format(msg=line, l="|", width=self.width - len(line) - 3)
            self.summary_msgs.append(Msg(row, level=level))

    def add_indent(self, msg, end=True):
        return ("    - " if end else "    ") + msg

    def print(self):
        # The records stay as queued: printing again writes the same lines.
        for record in self.summary_msgs:
            text = record.msg
            if len(record.level) < self.lenght:
                text = " " * (self.lenght - len(record.level)) + text
            getattr(logger, record.level)(text)

    def summarize_section(self, message, device=None, level="info", end=True):
        """Build a summary section as per the provided info"""
        if device:
            self.add_message("* Summary for device: {}".format(device))
            self.add_sep_line()
        message = self.add_indent(message, end)
        self.add_message(message, level=level)
        self.add_subtitle_line()

    def summarize_profile(self, device, diff=None, golden=False, PTS=True):
        """Summarize PTS"""
        self.add_message("* Summary for device: {}".format(device))
        if PTS:
            loc = "pts_golden_config" if golden else "Common Setup snapshot"
            loc2 = "OPS object snapspshot"
        else:
            loc = "original configuration taken at common setup"
            loc2 = "the one taken at common cleanup"
        if diff:
            msg = "Comparison between {} and {} is different as per the following diffs:\n".format(loc, loc2)
            self.add_message(self.add_indent(msg), level="error")
            self.add_message(str(diff).splitlines(), level="error")
        else:
            msg = "Comparison between {} and OPS object snapshots are equal".format(loc)
            self.add_message(self.add_indent(msg))
        self.add_star_line()


class TriggerSummary(Summary):
    def summarize_trigger(self, description, info):
        """Build a summary table for the trigger"""
        self.summarize("Description", description.splitlines(), indent=True)
        parameters = yaml.dump(info, default_flow_style=False, indent=4)
        self.summarize("Trigger datafile parameters:", parameters.splitlines(), indent=True)

    def summarize(self, title, message, indent=False):
        """Build a summary table as per the provided info"""
        self.add_message(title, indent)
        self.add_sep_line()
        self.add_message(message, indent)
        self.add_subtitle_line()


class Msg:
    def __init__(self, msg, level="info"):
        self.msg = msg
        self.level = level
