"""Health checks, implemented per device os (an abstraction package).

Only iosxe has an implementation, so looking this package up for an nxos
device fails: handy to show both outcomes of a device lookup.
"""

__abstract_pkg = True
