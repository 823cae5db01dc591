// korrin.utils.profile: learns feature snapshots from a testbed's devices (in
// parallel, one feature at a time), stores them as a golden profile, loads
// them back and compares two snapshot sets.
//
// Every module-level name (os, dill, pcall, Diff, log, pickle, ...) is read
// from the module at call time, so rebinding one redirects behaviour exactly
// as it would for the equivalent Python code.
#include "pyglue/dict_changes.hpp"
#include "pyglue/pyglue.hpp"

#include "korrin/utils/atomic_file.hpp"
#include "korrin/utils/profile_traffic.hpp"

#include <cstdint>
#include <iterator>

using pyglue::Chain;
using pyglue::for_each;
using pyglue::global;
using pyglue::id;
using pyglue::log_info;
using pyglue::Outcome;
using pyglue::Ref;
using pyglue::unpack_two;
using pyglue::while_handling;
using pyglue::with_block;

namespace {

// ---------------------------------------------------------------- helpers

// getattr(o, name, <missing>): an empty Ref when only AttributeError was
// raised (hasattr's rule; any other error propagates).
Ref optional_attr(PyObject* o, PyObject* name) {
    if (PyObject* value = PyObject_GetAttr(o, name)) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) pyglue::fail();
    PyErr_Clear();
    return Ref();
}

Ref getitem(PyObject* o, PyObject* key) {
    // Exact dicts: a found key needs no generic dispatch; a missing one takes
    // the generic path for the interpreter's own KeyError.
    if (PyDict_CheckExact(o)) {
        if (PyObject* found = PyDict_GetItemWithError(o, key)) return Ref::borrow(found);
        if (PyErr_Occurred()) pyglue::fail();
    }
    return pyglue::check(PyObject_GetItem(o, key));
}

void setitem(PyObject* o, PyObject* key, PyObject* value) {
    pyglue::check_status(PyObject_SetItem(o, key, value));
}

// `template.format(**keywords)` evaluated inside the handler of `caught`.
template <pyglue::Literal... Names>
Ref format_in_handler(const pyglue::ModuleState& m, PyObject* caught, PyObject* templ, const std::array<PyObject*, sizeof...(Names)>& values) {
    Ref text;
    while_handling(caught, [&] { text = pyglue::format_named<Names...>(m, templ, values); });
    return text;
}

bool equals(PyObject* a, PyObject* b) {
    return pyglue::truth(pyglue::check(PyObject_RichCompare(a, b, Py_EQ)).get());
}

// PTS data resolution: nothing -> the framework's default file, a dict as it
// is, the path of an existing file -> loaded, anything else as it is.
Ref resolve_pts_data(pyglue::ModuleState& m, PyObject* pts_data) {
    if (!pyglue::truth(pts_data)) {
        Ref load_datafile = global<"load_datafile">(m);
        Ref yamls = global<"korrin_yamls">(m);
        Ref path = pyglue::getattr(yamls.get(), id<"pts_datafile">(m));
        Ref loader = global<"PtsdatafileLoader">(m);
        return pyglue::call(load_datafile.get(), path.get(), loader.get());
    }
    if (PyDict_Check(pts_data)) return Ref::borrow(pts_data);
    Ref os = global<"os">(m);
    Ref os_path = pyglue::getattr(os.get(), id<"path">(m));
    if (pyglue::truth(pyglue::call_method(os_path.get(), id<"isfile">(m), pts_data).get())) {
        Ref load_datafile = global<"load_datafile">(m);
        Ref loader = global<"PtsdatafileLoader">(m);
        return pyglue::call(load_datafile.get(), pts_data, loader.get());
    }
    return Ref::borrow(pts_data);
}

// ---------------------------------------------------------------- load_datafile

Ref load_datafile(pyglue::ModuleState& m, const pyglue::Args<2>& a) {
    auto [datafile, cls] = a;
    Ref data;
    Ref caught = pyglue::attempt(PyExc_Exception, [&] {
        Ref loader = pyglue::call(cls);
        data = pyglue::call_method(loader.get(), id<"load">(m), datafile);
    });
    if (!caught) return data;
    Ref error_type, message;
    while_handling(caught.get(), [&] {
        error_type = global<"DatafileError">(m);
        message = pyglue::check(PyUnicode_Format(id<"Failed to load the datafile '%s'">(m), datafile));
    });
    pyglue::raise_new_in_handler(error_type.get(), message.get(), caught.get(), Chain::Cause);
}

// ---------------------------------------------------------------- asynchronous_profile

Ref asynchronous_profile(pyglue::ModuleState& m, const pyglue::Args<4>& a) {
    auto [device, feature, pts_data, learnt_dict] = a;
    {
        Ref banner = global<"banner">(m);
        Ref alias = pyglue::getattr(device, id<"alias">(m));
        Ref title = pyglue::format_named<"f", "d">(m, id<"Profile '{f}' on '{d}'">(m), {feature, alias.get()});
        Ref framed = pyglue::call(banner.get(), title.get());
        log_info(m, framed.get());
    }

    // A feature class learns with an object built by load_class; anything
    // that starts with "show" or is not a single word is a show command.
    Ref lib, pickled_string;
    Ref show = pyglue::text("show");
    bool feature_class = !pyglue::truth(pyglue::call_method(feature, id<"startswith">(m), show.get()).get());
    if (feature_class) {
        Ref words = pyglue::call_method(feature, id<"split">(m));
        Py_ssize_t count = PyObject_Size(words.get());
        if (count < 0) pyglue::fail();
        feature_class = count == 1;
    }

    if (feature_class) {
        Ref caught = pyglue::attempt(PyExc_Exception, [&] {
            Ref load_class = global<"load_class">(m);
            lib = pyglue::call(load_class.get(), pts_data, device);
            lib = pyglue::call(lib.get(), device);
            pyglue::call_method(lib.get(), id<"learn">(m));
        });
        if (caught) {
            Ref name;
            while_handling(caught.get(), [&] { name = pyglue::getattr(device, id<"name">(m)); });
            Ref message = format_in_handler<"f", "d", "e">(m, 
                caught.get(),
                id<"Issue with loading a pts class or when learning the '{f}' feature on device '{d}'\n{e}">(m), {feature, name.get(), caught.get()});
            pyglue::raise_new_in_handler(PyExc_Exception, message.get(), caught.get(), Chain::NoCause);
        }
        caught = pyglue::attempt(PyExc_Exception, [&] {
            pickled_string = pyglue::call_method(lib.get(), id<"pickle">(m), lib.get());
        });
        if (caught) {
            Ref message = format_in_handler<"lib">(m, caught.get(), id<"Issue while pickling the object '{lib}'">(m), {lib.get()});
            pyglue::raise_new_in_handler(PyExc_Exception, message.get(), caught.get(), Chain::Context);
        }
    } else {
        Ref output;
        Ref caught = pyglue::attempt(PyExc_Exception, [&] {
            output = pyglue::call_method(device, id<"parse">(m), feature);
        });
        if (caught) {
            Ref message = format_in_handler<"f", "e">(m, caught.get(), id<"Issue with '{f}'\n{e}">(m), {feature, caught.get()});
            pyglue::raise_new_in_handler(PyExc_Exception, message.get(), caught.get(), Chain::NoCause);
        }
        Ref dill = global<"dill">(m);
        pickled_string = pyglue::call_method(dill.get(), id<"dumps">(m), output.get());
        lib = Ref::borrow(feature);
    }

    // Keyed by the alias when it is true, else by the name; nothing is
    // written before the learning succeeded.
    Ref alias = pyglue::getattr(device, id<"alias">(m));
    {
        Ref inner = getitem(learnt_dict, feature);
        Ref key = pyglue::truth(alias.get()) ? pyglue::getattr(device, id<"alias">(m))
                                             : pyglue::getattr(device, id<"name">(m));
        setitem(inner.get(), key.get(), pickled_string.get());
    }
    Ref inner = getitem(learnt_dict, feature);
    setitem(inner.get(), id<"obj">(m), lib.get());
    return getitem(learnt_dict, feature);
}

// ---------------------------------------------------------------- unpickle / pickle

Ref unpickle(pyglue::ModuleState& m, const pyglue::Args<1>& a) {
    auto [file] = a;
    if (!pyglue::truth(file)) pyglue::raise(PyExc_Exception, "No Golden PTS profile file provided");
    Ref open = global<"open">(m);
    Ref mode = pyglue::text("rb");
    Ref manager = pyglue::call(open.get(), file, mode.get());
    Ref loaded;
    with_block(m, manager.get(), [&](PyObject* handle) {
        Ref dill = global<"dill">(m);
        loaded = pyglue::call_method(dill.get(), id<"load">(m), handle);
    });
    // A swallowing __exit__ ends the function without a return: None.
    return loaded ? loaded : pyglue::none();
}

// The text form of a device key or feature name made safe as part of a file
// name: path separators and NUL become "_", so a show command such as
// "show interface Ethernet1/1" stays a file in the run directory.
Ref file_name_part(pyglue::ModuleState& m, PyObject* value) {
    Ref empty = pyglue::text("");
    Ref text = pyglue::check(PyObject_Format(value, empty.get()));
    Ref os = global<"os">(m);
    Ref underscore = pyglue::text("_");
    Ref separators[] = {pyglue::text("/"), pyglue::getattr(os.get(), id<"sep">(m)),
                        pyglue::getattr(os.get(), id<"altsep">(m)), Ref::steal(PyUnicode_FromOrdinal(0))};
    for (Ref& separator : separators) {
        if (!separator) pyglue::fail();
        if (!PyUnicode_Check(separator.get()) || PyUnicode_GET_LENGTH(separator.get()) == 0) continue;
        text = pyglue::check(PyUnicode_Replace(text.get(), separator.get(), underscore.get(), -1));
    }
    return text;
}

// jsonpickle.dumps(data) with jsonpickle 4's "keys will default to True in
// jsonpickle 5.0.0" DeprecationWarning silenced for this call only: the files
// keep today's encoding (keys=False), and the warning is not the caller's to
// act on. The call itself, through the module global, is unchanged.
Ref jsonpickle_dumps(pyglue::ModuleState& m, PyObject* data) {
    Ref warnings = pyglue::import_module(m, "warnings");
    Ref manager = pyglue::call_method(warnings.get(), id<"catch_warnings">(m));
    Ref encoded;
    with_block(m, manager.get(), [&](PyObject*) {
        Ref filterwarnings = pyglue::getattr(warnings.get(), id<"filterwarnings">(m));
        Ref action = pyglue::text("ignore");
        Ref message = pyglue::text("keys will default to True in jsonpickle 5");
        pyglue::call_named<"message", "category">(m, filterwarnings.get(), {action.get()},
                                                  {message.get(), PyExc_DeprecationWarning});
        Ref jsonpickle = global<"jsonpickle">(m);
        encoded = pyglue::call_method(jsonpickle.get(), id<"dumps">(m), data);
    });
    // Only a replaced catch_warnings could swallow the error.
    return pyglue::bound_after_with(std::move(encoded), "encoded");
}

Ref pickle(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [pts, location_arg, name_arg] = a;
    if (!pyglue::truth(pts)) return pyglue::none();

    auto [location, pts_name, file] = korrin::run_file(m, location_arg, name_arg, "pts");
    korrin::write_atomically(m, file.get(), "wb", [&](PyObject* handle) {
        Ref dill = global<"dill">(m);
        pyglue::call_method(dill.get(), id<"dump">(m), pts, handle);
    });

    for_each(pts, [&](PyObject* feature) {
        Ref devices = getitem(pts, feature);
        Ref items = pyglue::call_method(devices.get(), id<"items">(m));
        for_each(items.get(), [&](PyObject* pair) {
            auto [device, obj] = unpack_two(m, pair);
            Ref device_part = file_name_part(m, device.get());
            Ref feature_part = file_name_part(m, feature);
            Ref name = pyglue::format_named<"l", "d", "f">(m, 
                id<"{l}_{d}_{f}_pts.json">(m), {pts_name.get(), device_part.get(), feature_part.get()});
            Ref os_path = pyglue::getattr(global<"os">(m).get(), id<"path">(m));
            file = pyglue::call_method(os_path.get(), id<"join">(m), location.get(), name.get());
            korrin::write_atomically(m, file.get(), "w", [&](PyObject* handle) {
                Ref by_device = pyglue::check(PyDict_New());
                pyglue::check_status(PyDict_SetItem(by_device.get(), device.get(), obj.get()));
                Ref dump_data = pyglue::check(PyDict_New());
                pyglue::check_status(PyDict_SetItem(dump_data.get(), feature, by_device.get()));

                Ref encoded = jsonpickle_dumps(m, dump_data.get());
                Ref json = global<"json">(m);
                Ref decoded = pyglue::call_method(json.get(), id<"loads">(m), encoded.get());
                Ref keys = pyglue::check(Py_BuildValue("[ss]", "py/object", "__dict__"));
                Ref recursive_trim = global<"recursive_trim">(m);
                Ref trimmed = pyglue::call_named<"keys">(m, recursive_trim.get(), {decoded.get()}, {keys.get()});
                Ref dump = pyglue::getattr(json.get(), id<"dump">(m));
                Ref indent = pyglue::check(PyLong_FromLong(4));
                pyglue::call_named<"indent">(m, dump.get(), {trimmed.get(), handle}, {indent.get()});
            });
        });
    });
    return file;
}

// ---------------------------------------------------------------- Profile.learn_features

// The devices the feature's PTS entry names, or else the one "uut" device.
Ref feature_devices(pyglue::ModuleState& m, PyObject* testbed, PyObject* entry) {
    Ref devices;
    // A feature without a "devices" entry is the ordinary case: no throw.
    Ref caught = pyglue::attempt(PyExc_KeyError, [&] {
        Outcome names = pyglue::try_getitem(entry, id<"devices">(m));
        if (names.failed()) return names;
        Ref list = pyglue::check(PyList_New(0));
        Outcome missing;
        for_each(names.get(), [&](PyObject* name) {
            Ref by_name = pyglue::getattr(testbed, id<"devices">(m));
            missing = pyglue::try_getitem(by_name.get(), name);
            if (missing.failed()) return false;
            pyglue::check_status(PyList_Append(list.get(), missing.get()));
            return true;
        });
        if (missing.failed()) return missing;
        devices = std::move(list);
        return Outcome();
    });
    if (!caught) return devices;

    Ref message;
    while_handling(caught.get(), [&] {
        Ref find_devices = pyglue::getattr(testbed, id<"find_devices">(m));
        Ref aliases = pyglue::check(Py_BuildValue("[s]", "uut"));
        devices = pyglue::call_named<"aliases">(m, find_devices.get(), {}, {aliases.get()});
        Py_ssize_t count = PyObject_Size(devices.get());
        if (count < 0) pyglue::fail();
        if (count < 1) message = pyglue::text("No 'uut' device was found");
        else if (count > 1)
            message = pyglue::format_named<"d">(m, id<"More than one device were found with alias 'uut'; {d}">(m),
                                                {devices.get()});
    });
    if (message) pyglue::raise_new_in_handler(PyExc_Exception, message.get(), caught.get(), Chain::Context);
    return devices;
}

// Learns one feature on its devices through pcall and files the results
// into learnt_dict[feature].
void learn_feature(pyglue::ModuleState& m, PyObject* feature, PyObject* testbed, PyObject* pts_data,
                   PyObject* learnt_dict, PyObject* outputs) {
    Ref entry;
    Ref caught = pyglue::attempt(PyExc_KeyError, [&] {
        Outcome found = pyglue::try_getitem(pts_data, feature);
        entry = found.take();
        return found;
    });
    if (caught) {
        Ref message = format_in_handler<"f">(m, caught.get(), id<"'{f}' does not exists in pts_data file">(m), {feature});
        pyglue::raise_new_in_handler(PyExc_KeyError, message.get(), caught.get(), Chain::Context);
    }

    Ref devices = feature_devices(m, testbed, entry.get());
    {
        Ref empty = pyglue::check(PyDict_New());
        pyglue::call_method(learnt_dict, id<"setdefault">(m), feature, empty.get());
    }

    // One call per device object, in first-seen order.
    Ref seen = pyglue::check(PySet_New(nullptr));
    Ref unique = pyglue::check(PyList_New(0));
    Ref display = pyglue::check(PyList_New(0));
    for_each(devices.get(), [&](PyObject* device) {
        if (pyglue::check_status(PySet_Contains(seen.get(), device))) return;
        pyglue::check_status(PySet_Add(seen.get(), device));
        pyglue::check_status(PyList_Append(unique.get(), device));
    });
    for_each(unique.get(), [&](PyObject* device) {
        Ref name = optional_attr(device, id<"alias">(m));
        if (!name) name = pyglue::getattr(device, id<"name">(m));
        pyglue::check_status(PyList_Append(display.get(), name.get()));
    });
    log_info(m, pyglue::format_named<"f", "d">(m, id<"Profile '{f}' on '{d}'">(m), {feature, display.get()})
                 .get());

    caught = pyglue::attempt(PyExc_Exception, [&] {
        Ref pcall = global<"pcall">(m);
        Ref worker = global<"asynchronous_profile">(m);
        Ref ckwargs = pyglue::check(PyDict_New());
        pyglue::check_status(PyDict_SetItem(ckwargs.get(), id<"feature">(m), feature));
        pyglue::check_status(PyDict_SetItem(ckwargs.get(), id<"pts_data">(m), entry.get()));
        pyglue::check_status(PyDict_SetItem(ckwargs.get(), id<"learnt_dict">(m), learnt_dict));
        Ref device_tuple = pyglue::check(PyList_AsTuple(unique.get()));
        Ref output = pyglue::call_named<"ckwargs", "device">(m, pcall.get(), {worker.get()}, {ckwargs.get(), device_tuple.get()});
        pyglue::check_status(PyDict_SetItem(outputs, feature, output.get()));
    });
    if (caught) {
        Ref message = format_in_handler<"f", "e">(m, caught.get(), id<"Failed in learning '{f}' feature\n{e}">(m), {feature, caught.get()});
        pyglue::raise_new_in_handler(PyExc_Exception, message.get(), caught.get(), Chain::NoCause);
    }

    Ref results = getitem(outputs, feature);
    for_each(results.get(), [&](PyObject* result) {
        Ref obj = getitem(result, id<"obj">(m));
        Ref items = pyglue::call_method(result, id<"items">(m));
        Ref pairs = pyglue::check(PySequence_List(items.get()));
        pyglue::check_status(PyList_Sort(pairs.get()));
        for_each(pairs.get(), [&](PyObject* pair) {
            auto [key, value] = unpack_two(m, pair);
            if (equals(key.get(), id<"obj">(m))) return;
            Ref learnt;
            if (Ref restore = optional_attr(obj.get(), id<"unpickle">(m))) {
                learnt = pyglue::call(restore.get(), value.get());
            } else {
                Ref dill = global<"dill">(m);
                learnt = pyglue::call_method(dill.get(), id<"loads">(m), value.get());
            }
            Ref by_name = pyglue::getattr(testbed, id<"devices">(m));
            Ref device = getitem(by_name.get(), key.get());
            // A false alias (None, "") would file every such device under the
            // same key; those keep their name.
            Ref device_key = optional_attr(device.get(), id<"alias">(m));
            if (!device_key || !pyglue::truth(device_key.get())) device_key = pyglue::getattr(device.get(), id<"name">(m));
            Ref inner = getitem(learnt_dict, feature);
            setitem(inner.get(), device_key.get(), learnt.get());
        });
    });
}

Ref learn_features(pyglue::ModuleState& m, const pyglue::Args<9>& a) {
    auto [cls, features, testbed, pts_data_arg, current_instance, testscript, file, location, pts_name] = a;
    (void)cls;
    (void)current_instance;
    if (!pyglue::truth(features)) {
        Ref message = pyglue::text("No features were passed to be learnt");
        pyglue::raise_new(PyExc_KeyError, message.get());
    }
    Ref outputs = pyglue::check(PyDict_New());
    Ref learnt_dict = pyglue::check(PyDict_New());
    Ref pts_data = resolve_pts_data(m, pts_data_arg);

    for_each(features, [&](PyObject* feature) {
        learn_feature(m, feature, testbed, pts_data.get(), learnt_dict.get(), outputs.get());
    });

    if (pyglue::truth(file)) return learnt_dict;
    if (pyglue::truth(testscript)) {
        Ref parameters = pyglue::getattr(testscript, id<"parameters">(m));
        Ref accumulated = getitem(parameters.get(), id<"learnt_dict">(m));
        pyglue::call_method(accumulated.get(), id<"update">(m), learnt_dict.get());

        parameters = pyglue::getattr(testscript, id<"parameters">(m));
        accumulated = getitem(parameters.get(), id<"learnt_dict">(m));
        Ref keys = pyglue::call_method(accumulated.get(), id<"keys">(m));
        Ref learnt_names = pyglue::check(PySet_New(keys.get()));
        Ref wanted = pyglue::getattr(testscript, id<"pts_features">(m));
        Ref wanted_names = pyglue::check(PySet_New(wanted.get()));
        if (equals(learnt_names.get(), wanted_names.get())) {
            Ref pickle = global<"pickle">(m);
            parameters = pyglue::getattr(testscript, id<"parameters">(m));
            accumulated = getitem(parameters.get(), id<"learnt_dict">(m));
            pyglue::call_named<"location", "pts_name">(m, pickle.get(), {accumulated.get()}, {location, pts_name});
        }
    } else {
        Ref pickle = global<"pickle">(m);
        pyglue::call_named<"location", "pts_name">(m, pickle.get(), {learnt_dict.get()}, {location, pts_name});
    }
    return learnt_dict;
}

// ---------------------------------------------------------------- Profile.compare

// Whether a lookup in `dict` runs no code of its keys: only exact str keys.
bool str_keys_only(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// mapping[key] read once per device for a fixed mapping and key: an exact
// dict unchanged since the last read (pyglue::DictChanges) whose keys and
// `key` are exact str gives what it gave then, so the lookup is not
// repeated; anything else is read afresh each time. The value is borrowed,
// as for LoopGlobal below.
class LoopItem {
public:
    LoopItem(pyglue::ModuleState& m, PyObject* mapping, PyObject* key)
        : key_(key), reusable_(PyDict_CheckExact(mapping) && PyUnicode_CheckExact(key)), changes_(m, mapping) {}

    Ref get() {
        PyObject* mapping = changes_.dict();
        if (!reusable_) return getitem(mapping, key_);
        std::uint64_t stamp = changes_.stamp();
        if (found_ && stamp == stamp_) return Ref::borrow(found_);
        Ref value = getitem(mapping, key_);
        found_ = stamp != 0 && str_keys_only(mapping) ? value.get() : nullptr;
        stamp_ = stamp;
        return value;
    }

private:
    PyObject* key_;
    const bool reusable_;  // an object's type (and so its exactness) is fixed
    pyglue::DictChanges changes_;
    PyObject* found_ = nullptr;
    std::uint64_t stamp_ = 0;
};

// A module global read at each use, as a name in a function body is read, for
// the per-device loop. While the module's dict is unchanged since the last
// lookup (pyglue::DictChanges), that lookup's value is what a new one would
// find, so it is not repeated. The value is borrowed: the unchanged dict
// still holds it, and a changed one is looked up afresh (nothing is kept
// alive longer than the dict keeps it).
class LoopGlobal {
public:
    LoopGlobal(const pyglue::ModuleState& m, const pyglue::DictChanges& changes, PyObject* name)
        : m_(m), changes_(changes), name_(name) {}

    Ref get() {
        PyObject* globals = changes_.dict();
        // Taken before the lookup, so that a lookup that changes the dict
        // leaves a stamp the next read does not match.
        std::uint64_t stamp = changes_.stamp();
        if (found_ && stamp == stamp_) return Ref::borrow(found_);
        PyObject* found = PyDict_GetItemWithError(globals, name_);
        if (!found) {
            found_ = nullptr;
            if (PyErr_Occurred()) pyglue::fail();
            if (!m_.builtins) pyglue::detail::state_cleared();
            if (PyObject* builtin = PyDict_GetItemWithError(m_.builtins.get(), name_)) return Ref::borrow(builtin);
            if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
            pyglue::fail();
        }
        // A key of another type (or a str subclass) may run its own __eq__
        // in a lookup, as it would for each read in Python: then none is
        // saved; nor where there is no telling whether the dict changed.
        found_ = stamp != 0 && str_keys_only(globals) ? found : nullptr;
        stamp_ = stamp;
        return Ref::borrow(found);
    }

private:
    const pyglue::ModuleState& m_;
    const pyglue::DictChanges& changes_;
    PyObject* name_;
    PyObject* found_ = nullptr;
    std::uint64_t stamp_ = 0;
};

// The collaborators the per-device loop reads. A module's dict stays the
// same object for its life (`__dict__` cannot be rebound), so it is taken once.
struct LoopGlobals {
    explicit LoopGlobals(pyglue::ModuleState& m)
        : changes(m, module_dict(m)),
          get_ops_exclude(m, changes, id<"get_ops_exclude">(m)),
          get_parser_exclude(m, changes, id<"get_parser_exclude">(m)),
          diff(m, changes, id<"Diff">(m)) {}
    pyglue::DictChanges changes;
    LoopGlobal get_ops_exclude, get_parser_exclude, diff;

private:
    static PyObject* module_dict(const pyglue::ModuleState& m) {
        PyObject* dict = PyModule_GetDict(m.module);
        if (!dict) pyglue::fail();
        return dict;
    }
};

// exclude.extend(entries); `exclude` is always the exact list made here, so
// list.extend itself runs, without the in-place concatenation's dispatch.
void extend(PyObject* exclude, PyObject* entries) {
    pyglue::check_status(pyglue::compat::list_extend(exclude, entries));
}

// mapping[key], or an empty Ref when that raises KeyError (exact dicts are
// looked up without raising, with the same outcome).
[[gnu::noinline]] Ref any_item_unless_missing(PyObject* mapping, PyObject* key) {
    Ref found;
    pyglue::attempt(PyExc_KeyError, [&] {
        Outcome item = pyglue::try_getitem(mapping, key);
        found = item.take();
        return item;
    });  // a KeyError leaves it empty
    return found;
}

inline Ref item_unless_missing(PyObject* mapping, PyObject* key) {
    if (!PyDict_CheckExact(mapping)) return any_item_unless_missing(mapping, key);
    if (PyObject* found = PyDict_GetItemWithError(mapping, key)) return Ref::borrow(found);
    if (PyErr_Occurred()) pyglue::fail();
    return Ref();
}

// What Diff must ignore for one feature on one device: fixed entries, the
// ops (or else parser) exclusions, the feature's and the global PTS entries.
Ref exclusions(pyglue::ModuleState& m, LoopGlobals& globals, PyObject* feature, PyObject* device, PyObject* pts_data) {
    PyObject* fixed[] = {id<"device">(m), id<"maker">(m), id<"diff_ignore">(m), id<"callables">(m),
                         id<"(Current configuration.*)">(m)};
    constexpr Py_ssize_t fixed_count = std::size(fixed);
    // Made with room for eight entries, as the list display's growth leaves
    // it in Python, so the usual few more are appended without reallocating.
    Ref exclude = pyglue::check(PyList_New(8));
    for (Py_ssize_t i = 0; i < fixed_count; ++i) PyList_SET_ITEM(exclude.get(), i, Ref::borrow(fixed[i]).release());
    Py_SET_SIZE(exclude.get(), fixed_count);

    Ref ops_failed = pyglue::attempt(PyExc_Exception, [&] {
        Ref get_ops_exclude = globals.get_ops_exclude.get();
        Outcome entries = pyglue::try_call(get_ops_exclude.get(), feature, device);
        if (!entries.failed()) extend(exclude.get(), entries.get());
        return entries;
    });
    if (ops_failed) {
        // Show commands have no ops class; their parser may know what to skip.
        // Its failure is passed over too: then only the other entries apply.
        while_handling(ops_failed.get(), [&] {
            pyglue::attempt(PyExc_Exception, [&] {
                Ref get_parser_exclude = globals.get_parser_exclude.get();
                Outcome entries = pyglue::try_call(get_parser_exclude.get(), feature, device);
                if (!entries.failed()) extend(exclude.get(), entries.get());
                return entries;
            });
        });
    }

    Ref entry = item_unless_missing(pts_data, feature);
    if (entry) {
        if (Ref entries = item_unless_missing(entry.get(), id<"exclude">(m))) extend(exclude.get(), entries.get());
    }
    if (Ref entries = item_unless_missing(pts_data, id<"exclude">(m))) extend(exclude.get(), entries.get());
    return exclude;
}

// A side given as anything but a dict is the path of a golden profile file.
Ref snapshot_set(pyglue::ModuleState& m, PyObject* side) {
    if (PyDict_Check(side)) return Ref::borrow(side);
    Ref unpickle = global<"unpickle">(m);
    return pyglue::call(unpickle.get(), side);
}

Ref key_set(pyglue::ModuleState& m, PyObject* snapshots) {
    Ref keys = pyglue::call_method(snapshots, id<"keys">(m));
    return pyglue::check(PySet_New(keys.get()));
}

Ref compare(pyglue::ModuleState& m, const pyglue::Args<6>& a) {
    auto [cls, compare1_arg, compare2_arg, pts_data_arg, testbed, verf_data] = a;
    (void)cls;
    (void)verf_data;
    Ref compare1 = snapshot_set(m, compare1_arg);
    Ref compare2 = snapshot_set(m, compare2_arg);

    Ref features1 = key_set(m, compare1.get());
    Ref features2 = key_set(m, compare2.get());
    Ref features = pyglue::check(PyNumber_And(features1.get(), features2.get()));
    Ref summarized = pyglue::check(PyDict_New());
    Ref not_compared = pyglue::check(PyNumber_Xor(features1.get(), features2.get()));
    pyglue::check_status(PyDict_SetItem(summarized.get(), id<"not_compared">(m), not_compared.get()));

    Ref pts_data = resolve_pts_data(m, pts_data_arg);
    LoopGlobals globals(m);

    for_each(features.get(), [&](PyObject* feature) {
        // Filled in sorted device order, then filed under the feature.
        Ref failed = pyglue::check(PyDict_New());
        Ref passed = pyglue::check(PyDict_New());
        Ref devices = pyglue::check(PySequence_List(getitem(compare2.get(), feature).get()));
        pyglue::check_status(PyList_Sort(devices.get()));

        LoopItem before_set(m, compare1.get(), feature), after_set(m, compare2.get(), feature);
        // The sorted list is this call's own: read by index.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(devices.get()); ++i) {
            Ref held = Ref::borrow(PyList_GET_ITEM(devices.get(), i));
            PyObject* key = held.get();
            Ref by_name = pyglue::getattr(testbed, id<"devices">(m));
            Ref device = getitem(by_name.get(), key);
            Ref exclude = exclusions(m, globals, feature, device.get(), pts_data.get());

            Ref Diff = globals.diff.get();
            Ref before = getitem(before_set.get().get(), key);
            Ref after = getitem(after_set.get().get(), key);
            Ref diff = pyglue::call_named<"exclude">(m, Diff.get(), {before.get(), after.get()}, {exclude.get()});
            pyglue::call_method(diff.get(), id<"findDiff">(m));
            Ref diffs = pyglue::getattr(diff.get(), id<"diffs">(m));
            Py_ssize_t count = PyObject_Size(diffs.get());
            if (count < 0) pyglue::fail();
            if (count) {
                pyglue::check_status(PyDict_SetItem(failed.get(), key, diff.get()));
                Ref message = pyglue::format_named<"f", "d">(m, 
                    id<"Verify '{f}' snapshot with initial snapshot for device '{d}'\n    Failed">(m), {feature, key});
                log_info(m, message.get());
            } else {
                Ref empty = pyglue::check(PyDict_New());
                pyglue::check_status(PyDict_SetItem(passed.get(), key, empty.get()));
            }
        }

        if (!pyglue::check_status(PyDict_Contains(summarized.get(), feature))) {
            Ref result = pyglue::check(PyDict_New());
            pyglue::check_status(PyDict_SetItem(result.get(), id<"failed">(m), failed.get()));
            pyglue::check_status(PyDict_SetItem(result.get(), id<"passed">(m), passed.get()));
            pyglue::check_status(PyDict_SetItem(summarized.get(), feature, result.get()));
        } else {
            // Only a feature named like the "not_compared" entry gets here:
            // each device is filed as `summarized[feature][kind][key] = value`
            // would file it, so the entry is indexed only when there is one.
            auto file = [&](PyObject* found, PyObject* kind) {
                Ref items = pyglue::check(PyDict_Items(found));
                for_each(items.get(), [&](PyObject* item) {
                    Ref result = getitem(summarized.get(), feature);
                    Ref map = getitem(result.get(), kind);
                    setitem(map.get(), PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
                });
            };
            file(failed.get(), id<"failed">(m));
            file(passed.get(), id<"passed">(m));
        }
        log_info(m, id<"\n">(m));
    });
    return summarized;
}

// ---------------------------------------------------------------- summarize_comparison

// Summary(title="{f} PTS Summary" with the feature in title case, width=150)
Ref feature_summary(pyglue::ModuleState& m, PyObject* feature) {
    Ref name = pyglue::call_method(feature, id<"title">(m));
    Ref title = pyglue::format_named<"f">(m, id<"{f} PTS Summary">(m), {name.get()});
    Ref width = pyglue::check(PyLong_FromLong(150));
    Ref summary_class = global<"Summary">(m);
    return pyglue::call_named<"title", "width">(m, summary_class.get(), {}, {title.get(), width.get()});
}

Ref summarize_comparison(pyglue::ModuleState& m, const pyglue::Args<3>& a) {
    auto [summarized, passed_feature, print_not_compared] = a;
    for_each(summarized, [&](PyObject* key) {
        if (pyglue::truth(passed_feature) &&
            pyglue::truth(pyglue::check(PyObject_RichCompare(key, passed_feature, Py_NE)).get()))
            return;
        if (equals(key, id<"not_compared">(m))) return;
        Ref summary = feature_summary(m, key);
        Ref failed = getitem(getitem(summarized, key).get(), id<"failed">(m));
        for_each(failed.get(), [&](PyObject* device) {
            Ref diff = getitem(failed.get(), device);
            Ref summarize_profile = pyglue::getattr(summary.get(), id<"summarize_profile">(m));
            pyglue::call_named<"diff", "device">(m, summarize_profile.get(), {}, {diff.get(), device});
        });
        Ref passed = getitem(getitem(summarized, key).get(), id<"passed">(m));
        for_each(passed.get(), [&](PyObject* device) {
            Ref summarize_profile = pyglue::getattr(summary.get(), id<"summarize_profile">(m));
            pyglue::call_named<"device">(m, summarize_profile.get(), {}, {device});
        });
        pyglue::call_method(summary.get(), id<"print">(m));
    });

    Ref not_compared = getitem(summarized, id<"not_compared">(m));
    if (pyglue::truth(not_compared.get()) && pyglue::truth(print_not_compared)) {
        Ref message = pyglue::text("No comparison performed, it wasn't learnt at this section");
        for_each(not_compared.get(), [&](PyObject* feature) {
            Ref summary = feature_summary(m, feature);
            Ref summarize_section = pyglue::getattr(summary.get(), id<"summarize_section">(m));
            pyglue::call_named<"message">(m, summarize_section.get(), {}, {message.get()});
            pyglue::call_method(summary.get(), id<"print">(m));
        });
    }
    return pyglue::none();
}

// ---------------------------------------------------------------- definitions

const auto compare_def = pyglue::def("compare", {"cls", "compare1", "compare2", "pts_data=None", "testbed=None", "verf_data=None"}, nullptr, compare);
const auto learn_features_def = pyglue::def("learn_features", {"cls", "features", "testbed", "pts_data=None", "current_instance=None", "testscript=None", "file=None", "location=None", "pts_name=None"}, nullptr, learn_features);
const auto load_datafile_def = pyglue::def("load_datafile", {"datafile", "cls"}, nullptr, load_datafile);
const auto asynchronous_profile_def = pyglue::def("asynchronous_profile", {"device", "feature", "pts_data", "learnt_dict"}, "Use asynchronous execution when profiling features on devices", asynchronous_profile);
const auto unpickle_def = pyglue::def("unpickle", {"file"}, "Unpickle file; Used for Golden profile", unpickle);
const auto pickle_def = pyglue::def("pickle", {"pts", "location=None", "pts_name=None"}, "Pickle file; Used for Golden profile", pickle);
const auto summarize_comparison_def = pyglue::def("summarize_comparison", {"summarized_dict", "passed_feature=None", "print_not_compared=True"}, "Summarize the features comparison", summarize_comparison);

void exec_module(pyglue::ModuleBuilder& b) {
    pyglue::ModuleState& m = b.state();
    using pyglue::classmethod;
    b.import("os");
    // sys, AttrDict and Lookup are unused; they are imported only so the
    // module's globals (and its import failures) are those callers expect.
    b.import("sys");
    b.import("dill");
    b.import("json");
    Ref logging = b.import("logging");
    b.import("jsonpickle");
    b.import("prettytable");
    b.import("yaml");
    Ref importlib = b.import("importlib");

    // The parallel call lives in "brennic.async" where that name is
    // importable, else in "brennic.async_"; only ImportError falls back.
    Ref pcall;
    Ref missing = pyglue::attempt(PyExc_ImportError, [&] {
        Ref name = pyglue::text("brennic.async");
        Outcome async_module = pyglue::try_call_method(importlib.get(), id<"import_module">(m), name.get());
        if (async_module.failed()) return async_module;
        pcall = pyglue::getattr(async_module.get(), id<"pcall">(m));
        return Outcome();
    });
    if (missing)
        while_handling(missing.get(), [&] { pcall = pyglue::ModuleBuilder::from_import("brennic.async_", "pcall"); });
    b.bind("pcall", pcall.get());

    b.import_from("brennic.dorvex", "runtime");
    b.import_from("brennic.log.utils", "banner");
    b.import_from("brennic.datastructures", "AttrDict");
    b.import_from("brennic.strivel.exceptions", "DatafileError");
    b.import_from("korrin.abstract", "Lookup");
    b.import_from("korrin.utils.diff", "Diff");
    b.import_from("korrin.libs.sdk", "korrin_yamls");
    b.import_from("korrin.ops.utils", "get_ops_exclude");
    b.import_from("korrin.utils.summary", "Summary");
    b.import_from("korrin.harness.utils", "load_class");
    b.import_from("korrin.libs.parser.utils", "get_parser_exclude");
    b.import_from("korrin.harness.utils", "recursive_trim");
    b.import_from("korrin.harness.datafile.loader", "PtsdatafileLoader");
    b.import_from("korrin.harness.exceptions", "KorrinTgnError");

    b.bind_module_logger("log", logging.get());

    b.add_class("Profile", nullptr, {classmethod(compare_def), classmethod(learn_features_def)});

    b.add_function(load_datafile_def);
    b.add_function(asynchronous_profile_def);
    b.add_function(unpickle_def);
    b.add_function(pickle_def);
    b.add_function(summarize_comparison_def);
    b.add_function(pickle_traffic_def);
    b.add_function(unpickle_traffic_def);
    b.add_function(unpickle_stream_data_def);
}

}  // namespace

PyMODINIT_FUNC PyInit_profile() { return pyglue::define_module<exec_module>("korrin.utils.profile"); }
