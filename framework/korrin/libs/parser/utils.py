"""Helpers around show-command parsers."""

from korrin.sim.device import find_parser

__all__ = ["get_parser_exclude"]


def get_parser_exclude(feature, device):
    """Keys of a show command's parsed output that change on their own.

    Raises LookupError when no parser handles the command.
    """
    parser, _ = find_parser(feature)
    if parser is None:
        raise LookupError(f"No parser found for '{feature}' on device '{getattr(device, 'name', device)}'")
    return list(parser.exclude)
