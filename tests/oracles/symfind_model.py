"""Plain-Python model of symfind.str_to_list: the path-parsing algorithm read
step by step with the standard `re` module. Slow on purpose; used as the
oracle of the native scanner."""
import re
from collections import deque


def str_to_list(string):
    reg_src = {}
    reg_space = {}
    working = string

    # Parenthesised text is taken out (blanked, same length) so that the
    # bracket handling below cannot touch it.
    for match in re.findall(r"\(.*?\)", string):
        position = working.find(match)
        reg_src[position] = match
        working = working.replace(match, " " * len(match), 1)

    # A bracketed group holding whitespace becomes one token: its spaces are
    # written as "~" everywhere the group's text occurs.
    for match in re.findall(r"[\(\w\)]+\s+[\(\w)\)]+.*?]", working):
        new_item = match.replace("]", "")
        key = new_item.replace(" ", "~")
        reg_space[key] = new_item
        working = working.replace(new_item, key)

    working = working.replace("[", " ").replace("]", " ")

    for position, text in reg_src.items():
        working = working[:position] + text + working[position + len(text):]

    result = deque()
    for token in working.split():
        if token in reg_space:
            token = reg_space[token]
        if "~" in token:
            token = token.replace("~", " ")
        try:
            token = int(token)
        except Exception:
            pass
        result.append(token)
    return result
