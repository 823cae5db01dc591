"""Profile.compare written in plain Python, as module code would be: every
collaborator is a global read where the algorithm reads it (the benchmark
sets Diff, get_ops_exclude, get_parser_exclude, log and unpickle)."""

Diff = get_ops_exclude = get_parser_exclude = log = unpickle = None


def compare(cls, compare1, compare2, pts_data=None, testbed=None, verf_data=None):
    if not isinstance(compare1, dict):
        compare1 = unpickle(compare1)
    if not isinstance(compare2, dict):
        compare2 = unpickle(compare2)
    features = set(compare1.keys()) & set(compare2.keys())
    summarized_dict = {}
    summarized_dict["not_compared"] = set(compare1.keys()) ^ set(compare2.keys())
    for feature in features:
        failed, passed = [], []
        for key in sorted(compare2[feature]):
            exclude = ["device", "maker", "diff_ignore", "callables", "(Current configuration.*)"]
            device = testbed.devices[key]
            try:
                exclude.extend(get_ops_exclude(feature, device))
            except Exception:
                try:
                    exclude.extend(get_parser_exclude(feature, device))
                except Exception:
                    pass
            try:
                exclude.extend(pts_data[feature]["exclude"])
            except KeyError:
                pass
            try:
                exclude.extend(pts_data["exclude"])
            except KeyError:
                pass
            diff = Diff(compare1[feature][key], compare2[feature][key], exclude=exclude)
            diff.findDiff()
            if len(diff.diffs):
                failed.append((key, diff))
                log.info("Verify '{f}' snapshot with initial snapshot for device '{d}'\n    Failed".format(f=feature, d=key))
            else:
                passed.append(key)
        if feature not in summarized_dict:
            summarized_dict[feature] = {"failed": {}, "passed": {}}
        for key, diff in failed:
            summarized_dict[feature]["failed"][key] = diff
        for key in passed:
            summarized_dict[feature]["passed"][key] = {}
        log.info("\n")
    return summarized_dict
