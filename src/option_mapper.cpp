// veltrix.converter.plugin_api.option_mapper: option dictionary -> parameter
// dictionary for a plug-in, plus model types derived from paths.
//
// Module names: `os`, `reserved_params_list`, `OptionMapper`. Every method
// reaches the others through `self` and module names through the namespace,
// so subclasses and replaced module attributes are honoured.
#include "glue/glue.h"

GLUE_PRELUDE;

namespace {

// process(self, params, ref, process_array=False)
nb::object process(nb::handle g, Args &a) {
    nb::object self = a[0], params = a[1], ref = a[2], process_array = a[3];
    nb::dict result;
    params = self.attr("replace_underscore")(params, "_", "-");
    glue::for_each(params, [&](nb::handle k) { set_item(result, k, item(params, k)); });
    self.attr("process_ref")(params, result, ref, process_array);
    self.attr("process_ref")(params, result, global(g, "reserved_params_list"), process_array);
    nb::object b_hyphen = self.attr("replace_underscore")(result, "_", "-");
    nb::object b_underscore = self.attr("replace_underscore")(result, "-", "_");
    self.attr("_OptionMapper__from_dict")(b_underscore);
    return b_hyphen;
}

// Convert `a[user_key]` by the descriptor that `ref` declares under `key`,
// running the same three conversions a matching key gets.
void convert_value(nb::handle self, nb::handle key, nb::handle user_key, nb::handle a, nb::handle ref, nb::handle process_array) {
    nb::dict view;
    set_item(view, key, item(a, user_key));
    self.attr("process_boolean")(key, view, ref);
    self.attr("process_integer")(key, view, ref);
    if (glue::truth(process_array)) self.attr("convert_comma_delimit_to_array")(key, view, ref);
    set_item(a, user_key, item(view, key));
}

// process_ref(self, params, a, ref, process_array)
nb::object process_ref(nb::handle, Args &args) {
    nb::object self = args[0], params = args[1], a = args[2], ref = args[3], process_array = args[4];
    glue::for_each(ref, [&](nb::handle key) {
        if (!contains(params, key)) {
            // A table key written with "_" names the option the user typed with
            // "-" (user options are hyphenated before they get here): keep the
            // user's value, converted by this descriptor, instead of letting the
            // default overwrite it when the result is hyphenated.
            if (glue::is_str(key)) {
                nb::object hyphen = key.attr("replace")("_", "-");
                if (!eq(hyphen, key) && contains(params, hyphen)) {
                    convert_value(self, key, hyphen, a, ref, process_array);
                    return;
                }
            }
            nb::object desc = item(ref, key);
            if (contains(desc, "default"))
                set_item(a, key, item(desc, "default"));
            else
                glue::raise(PyExc_AttributeError, glue::add(nb::str("Missing mandatory parmeter: '"), key, nb::str("'")));
        }
        self.attr("process_boolean")(key, a, ref);
        self.attr("process_integer")(key, a, ref);
        if (glue::truth(process_array)) self.attr("convert_comma_delimit_to_array")(key, a, ref);
    });
    return nb::none();
}

// process_boolean(self, key, params, ref)
nb::object process_boolean(nb::handle, Args &a) {
    nb::object key = a[1], params = a[2], ref = a[3];
    if (glue::is_str(item(params, key)) && eq(item(item(ref, key), "type"), "boolean")) {
        if (eq(item(params, key).attr("lower")(), "true"))
            set_item(params, key, nb::bool_(true));
        else if (eq(item(params, key).attr("lower")(), "false"))
            set_item(params, key, nb::bool_(false));
    }
    return nb::none();
}

// process_integer(self, key, params, ref)
nb::object process_integer(nb::handle, Args &a) {
    nb::object key = a[1], params = a[2], ref = a[3];
    if (contains(item(ref, key), "array")) return nb::none();
    if (glue::is_str(item(params, key)) && eq(item(item(ref, key), "type"), "int")) {
        glue::except_when([](nb::python_error &e) { return e.matches(PyExc_ValueError); },
                          [&] { set_item(params, key, glue::check(PyNumber_Long(item(params, key).ptr()))); },
                          [&](nb::python_error &) {
                              glue::raise(PyExc_ValueError,
                                          glue::check(PyNumber_Remainder(
                                              nb::str("Invalid argument for %s, please use an integer").ptr(), key.ptr())));
                          });
    }
    return nb::none();
}

// convert_comma_delimit_to_array(self, key, params, ref)
nb::object convert_comma_delimit_to_array(nb::handle, Args &a) {
    nb::object key = a[1], params = a[2], ref = a[3];
    if (contains(item(ref, key), "array") && contains(params, key) && glue::is_str(item(params, key))) {
        nb::object pieces = item(params, key).attr("split")(",");
        nb::object type = item(item(ref, key), "type");
        if (!eq(type, "string")) {
            const bool integer = eq(type, "int");
            nb::list converted;
            glue::for_each(pieces, [&](nb::handle p) {
                converted.append(glue::check(integer ? PyNumber_Long(p.ptr()) : PyNumber_Float(p.ptr())));
            });
            pieces = converted;
        }
        set_item(params, key, pieces);
    }
    return nb::none();
}

// replace_underscore(self, p, old, new)
nb::object replace_underscore(nb::handle, Args &a) {
    nb::object p = a[1], old_ = a[2], new_ = a[3];
    nb::dict ret;
    glue::for_each(p, [&](nb::handle k) { set_item(ret, k.attr("replace")(old_, new_), item(p, k)); });
    return ret;
}

// replace(self, p, old, new)
nb::object replace(nb::handle, Args &a) {
    nb::object p = a[1], old_ = a[2], new_ = a[3];
    if (contains(p, old_)) {
        set_item(p, new_, item(p, old_));
        if (PyObject_DelItem(p.ptr(), old_.ptr()) < 0) throw nb::python_error();
    }
    return nb::none();
}

// get_model_types(self, params)
nb::object get_model_types(nb::handle, Args &a) {
    nb::object self = a[0], params = a[1];
    if (!contains(params, "input-model-type") && contains(params, "source"))
        set_item(params, "input-model-type", self.attr("get_source_type")(item(params, "source")));
    if (!contains(params, "output-model-type") && contains(params, "dest"))
        set_item(params, "output-model-type", self.attr("get_dest_type")(item(params, "dest")));
    return nb::none();
}

// The extension of a path without its ".", by os.path.splitext.
nb::object extension(nb::handle os, nb::handle path) {
    return item(item(os.attr("path").attr("splitext")(path), 1), nb::slice(nb::int_(1), nb::none(), nb::none()));
}

// get_source_type(self, infile)
nb::object get_source_type(nb::handle g, Args &a) {
    nb::object infile = a[1];
    nb::object ret = nb::str("");
    return glue::except_exception(
        [&] {
            nb::object os = global(g, "os");
            if (glue::truth(os.attr("path").attr("isfile")(infile))) {
                ret = extension(os, infile);
            } else if (glue::truth(os.attr("path").attr("isdir")(infile))) {
                glue::for_each(os.attr("listdir")(infile), [&](nb::handle f) {
                    if (eq(item(os.attr("path").attr("splitext")(f), 1), ".pb")) ret = nb::str("pb");
                });
            }
            return ret;
        },
        [&](nb::python_error &e) {
            glue::print(g, glue::str_of(e.value()));
            return nb::object(nb::str(""));
        });
}

// get_dest_type(self, outfile): any failure at all gives "".
nb::object get_dest_type(nb::handle g, Args &a) {
    return glue::except_failure([&] { return extension(global(g, "os"), a[1]); },
                                 [](nb::python_error &) { return nb::object(nb::str("")); });
}

// detect_invalid_arg(self, a, ref)
nb::object detect_invalid_arg(nb::handle g, Args &args) {
    nb::object a = args[1], ref = args[2];
    glue::for_each(a, [&](nb::handle key) {
        if (!contains(ref, key) && !contains(global(g, "reserved_params_list"), key))
            glue::raise(PyExc_AttributeError, glue::add(nb::str("Unrecognised argument '"), key, nb::str("'")));
    });
    return nb::none();
}

// A nested mapper carrying `d`'s entries as attributes.
nb::object nested(nb::handle g, nb::handle d) {
    nb::object o = global(g, "OptionMapper")();
    o.attr("_OptionMapper__from_dict")(d);
    return o;
}

// __from_dict(self, in_dict)
nb::object from_dict(nb::handle g, Args &a) {
    nb::object self = a[0], in_dict = a[1];
    glue::assert_that(PyDict_Check(in_dict.ptr()));
    glue::for_each(in_dict.attr("items")(), [&](nb::handle kv) {
        nb::object key = item(kv, 0), value = item(kv, 1);
        if (PyList_Check(value.ptr()) || PyTuple_Check(value.ptr())) {
            nb::list l;
            glue::for_each(value, [&](nb::handle v) { l.append(PyDict_Check(v.ptr()) ? nested(g, v) : nb::borrow(v)); });
            value = l;
        } else if (PyDict_Check(value.ptr())) {
            value = nested(g, value);
        }
        if (PyObject_SetAttr(self.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
    });
    return nb::none();
}

}  // namespace

GLUE_MODULE(option_mapper, m) {
    m.attr("os") = glue::import("os");
    m.attr("reserved_params_list") = glue::import_from("veltrix.converter.plugin_api.params", "reserved_params_list");
    m.doc() = "Turns the option dictionary into the typed parameter dictionary a plug-in receives.";
    glue::ClassBuilder(m, "OptionMapper", nb::handle(),
                       "Maps options onto a parameter table: hyphenated keys, defaults, booleans and integers from "
                       "text, comma lists; and model types from paths. After process() the instance carries every "
                       "parameter as an attribute (hyphens as underscores).")
        .method("__from_dict", {"in_dict"}, from_dict, {}, "_OptionMapper__from_dict")
        .method("process", {"params", "ref", "process_array"}, process, {nb::bool_(false)})
        .doc("The parameter dictionary for options `params` and parameter table `ref` with the reserved catalogue: "
             "defaults filled in, 'true'/'false' and integers converted, comma lists split when process_array. "
             "Raises AttributeError for a mandatory parameter that is missing, ValueError for a bad integer.")
        .method("process_ref", {"params", "a", "ref", "process_array"}, process_ref)
        .doc("Fill `a` with the defaults and conversions of table `ref` for options `params`.")
        .method("process_boolean", {"key", "params", "ref"}, process_boolean)
        .doc("Turn a 'true'/'false' text (any case) of a boolean parameter into True/False, in place.")
        .method("process_integer", {"key", "params", "ref"}, process_integer)
        .doc("Turn the text of an 'int' parameter into an int, in place; ValueError naming the key otherwise.")
        .method("convert_comma_delimit_to_array", {"key", "params", "ref"}, convert_comma_delimit_to_array)
        .doc("Split the text of an array parameter at commas, converting items to its type, in place.")
        .method("replace_underscore", {"p", "old", "new"}, replace_underscore)
        .doc("A new dictionary with `old` replaced by `new` in every key.")
        .method("replace", {"p", "old", "new"}, replace)
        .doc("Rename key `old` of `p` to `new`, in place, when present.")
        .method("get_model_types", {"params"}, get_model_types)
        .doc("Add 'input-model-type' and 'output-model-type', derived from 'source' and 'dest', when absent.")
        .method("get_source_type", {"infile"}, get_source_type)
        .doc("The model type of a source path: the extension of a file, 'pb' for a folder holding a .pb file, "
             "'' otherwise.")
        .method("get_dest_type", {"outfile"}, get_dest_type)
        .doc("The model type of a destination path: its extension ('' when it has none).")
        .method("detect_invalid_arg", {"a", "ref"}, detect_invalid_arg)
        .doc("Raise AttributeError(\"Unrecognised argument '<key>'\") for a key of `a` that neither `ref` nor the "
             "reserved catalogue knows.")
        .build();
}
