"""Plain-Python model of Config: JSON first, else the indentation tree built
with a level stack. A line seen again under the same parent keeps its
existing dictionary and collects the new children into it."""
import json
from collections import deque, namedtuple

DEFAULT_EXCLUDE = ["!", None, "\r", ""]


class ModelConfig:
    def __init__(self, output, exclude=None):
        self.output = output
        self.exclude = list(DEFAULT_EXCLUDE)
        if exclude:
            self.exclude.extend(exclude)

    def tree(self):
        try:
            self.config = json.loads(self.output)
            return
        except Exception:
            pass

        Level = namedtuple("Level", ["indentation", "data"])
        self.config = {}
        levels = deque([Level(0, self.config)])
        curr = future = self.config
        for line in self.output.split("\n"):
            line_strip = line.strip()
            if line_strip in self.exclude or line_strip.startswith("!"):
                continue
            line = line.replace("\r", "").replace("\x03", "^C")
            indentation = len(line) - len(line.lstrip())
            line = line.strip()
            top = levels[-1]
            if top.indentation == indentation:
                future = curr.setdefault(line, {})
            elif top.indentation < indentation:
                curr = future
                future = curr.setdefault(line, {})
                levels.append(Level(indentation, curr))
            else:
                for _ in range(len(levels)):
                    item = levels[-1]
                    if item.indentation == indentation or len(levels) == 1:
                        curr = item.data
                        future = curr.setdefault(line, {})
                        break
                    levels.pop()


def model_tree(output, exclude=None):
    config = ModelConfig(output, exclude)
    config.tree()
    return config.config
