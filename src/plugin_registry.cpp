// veltrix.converter.plugin_registry: finds, validates and queries converter
// plug-ins, the distributions announcing themselves in the entry-point group.
//
// Nothing is cached: every query enumerates the group and loads the plug-ins
// again, so a plug-in installed a moment ago is seen by the next query.
#include "glue/glue.h"

#include <string_view>

GLUE_PRELUDE;

namespace {

nb::object record_error(nb::handle record, nb::python_error &ex) {
    set_item(record, "sanityCheck", glue::add(nb::str("Error:"), glue::str_of(ex.value())));
    return nb::borrow(record);
}

// pkg_resources' key of a project name: every run of characters other than
// ASCII letters, digits and "." becomes "-", then lower case.
nb::object distribution_key(nb::handle project_name) {
    nb::object re = glue::import("re");
    return re.attr("sub")("[^A-Za-z0-9.]+", "-", glue::str_of(project_name)).attr("lower")();
}

// A distribution's project name. The Name header is a single line near the
// top of its metadata file; reading that line is far cheaper than parsing the
// whole file as an e-mail message, which the full parse is kept for (and is
// what a finder whose read_text gives something other than text gets).
nb::object project_name(nb::handle dist) {
    for (const char *file : {"METADATA", "PKG-INFO"}) {
        nb::object text = dist.attr("read_text")(file);
        if (text.is_none()) continue;
        if (!glue::is_str(text)) break;
        std::string_view rest = glue::checked_text(text, "metadata");
        while (!rest.empty()) {
            size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty()) break;  // end of the headers
            if (line.size() > 5 && line.substr(0, 5) == "Name:" && (rest.size() <= end + 1 || (rest[end + 1] != ' ' && rest[end + 1] != '\t'))) {
                line.remove_prefix(5);
                while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
                while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
                return nb::str(line.data(), line.size());
            }
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 1);
        }
        break;
    }
    return dist.attr("metadata").attr("get")("Name");
}

// The entry points of `group` as pkg_resources would have listed them, for
// interpreters whose setuptools no longer ships pkg_resources: distributions in
// sys.path order, the first copy of each project winning, one entry per entry
// point, each with `name`, `dist.key`, `dist.location` and `load()`.
//
// Parsing a distribution's METADATA is what costs here, and only plug-ins need
// their key: equal keys imply equal normalised names (cheap, from the folder
// name), so a distribution's key is read only when it declares the group, or
// when an earlier copy with its normalised name must be compared. Names are
// compared as Python text, whatever characters a folder name holds; a
// distribution whose metadata cannot be read at all is passed over, so it
// cannot hide the healthy plug-ins beside it.
nb::object entry_points_from_metadata(nb::handle group) {
    nb::object md = glue::import("importlib.metadata");
    nb::object ns = glue::import("types").attr("SimpleNamespace");
    nb::object realpath = glue::import("os").attr("path").attr("realpath");
    struct Seen {
        nb::object dist, key;  // key read lazily
    };
    std::vector<std::pair<nb::object, Seen>> seen;
    auto key_of = [](Seen &d) -> nb::object {
        if (!d.key.is_valid()) {
            nb::object project = project_name(d.dist);
            d.key = project.is_none() ? nb::object(nb::none()) : distribution_key(project);
        }
        return d.key;
    };
    nb::list out;
    glue::for_each(md.attr("distributions")(), [&](nb::handle dist) {
        glue::except_exception(
            [&] {
                Seen self{nb::borrow(dist), nb::object()};
                nb::object normalized = glue::attr_or(dist, "_normalized_name", nb::none());
                if (normalized.is_none()) normalized = key_of(self);
                if (normalized.is_none()) return;  // no project name: pkg_resources skips it too
                nb::list eps;
                glue::for_each(dist.attr("entry_points"), [&](nb::handle ep) {
                    if (eq(ep.attr("group"), group)) eps.append(ep);
                });
                if (glue::length_of(eps) > 0) {
                    nb::object key = key_of(self);
                    if (key.is_none()) return;
                    for (auto &[other_norm, other] : seen)
                        if (eq(other_norm, normalized) && !key_of(other).is_none() && eq(key_of(other), key)) return;  // a later copy
                    nb::object view = ns("key"_a = key, "project_name"_a = project_name(dist),
                                         "location"_a = realpath(dist.attr("locate_file")("")));
                    for (nb::handle ep : eps)
                        out.append(ns("name"_a = ep.attr("name"), "group"_a = group, "value"_a = ep.attr("value"),
                                      "dist"_a = view, "load"_a = ep.attr("load")));
                }
                seen.emplace_back(normalized, std::move(self));
            },
            [](nb::python_error &) {});
    });
    return out;
}

// `from pkg_resources import iter_entry_points`, its deprecation warnings kept
// off standard error for the duration of the import only.
nb::object import_iter_entry_points() {
    nb::object guard = glue::import("warnings").attr("catch_warnings")();
    guard.attr("__enter__")();
    nb::object f;
    try {
        glue::import("warnings").attr("simplefilter")("ignore");
        f = glue::import_from("pkg_resources", "iter_entry_points");
    } catch (nb::python_error &) {
        guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
        throw;
    }
    guard.attr("__exit__")(nb::none(), nb::none(), nb::none());
    return f;
}

// __init__(self)
nb::object init(nb::handle g, Args &a) {
    a[0].attr("reserved_param_list") = global(g, "reserved_params_list");
    return nb::none();
}

// __get_entrypoint_list(self): nothing at all when enumeration fails; only
// Ctrl-C (KeyboardInterrupt) gets through.
nb::object get_entrypoint_list(nb::handle g, Args &) {
    return glue::except_failure(
        [&] {
            nb::object iter_entry_points;
            try {
                iter_entry_points = import_iter_entry_points();
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_ImportError)) throw;
                return entry_points_from_metadata(global(g, "ENNTRY_POINT_LOOKUP"));
            }
            return iter_entry_points(global(g, "ENNTRY_POINT_LOOKUP"));
        },
        [](nb::python_error &) -> nb::object { return nb::list(); });
}

nb::object entry_points(nb::handle self) { return self.attr("_PluginRegistry__get_entrypoint_list")(); }

// Validation of one loaded plug-in into `p`: steps that may fail on the plug-in's side.
void check_plugin(nb::handle e, nb::handle p) {
    nb::object plugin = e.attr("load")();
    nb::list missing;
    nb::object apis = glue::check(PyObject_Dir(plugin.ptr()));
    if (!contains(apis, "convert")) missing.append("convert");
    if (contains(apis, "query_convert")) {
        nb::object q = plugin.attr("query_convert")(nb::none(), nb::none());
        if (q.is_none() || !contains(q, "supported_inputs") || !contains(q, "supported_outputs")) {
            set_item(p, "sanityCheck", nb::str("Missing Supprted File Types"));
        } else {
            set_item(p, "inputsSupported", item(q, "supported_inputs"));
            set_item(p, "outputsSupported", item(q, "supported_outputs"));
        }
    } else {
        missing.append("query_convert");
    }
    if (glue::truth(missing)) set_item(p, "sanityCheck", glue::add(nb::str("Missing APIs: "), nb::str(", ").attr("join")(missing)));
    set_item(p, "path", plugin.attr("__file__"));
}

// get_converters_info_list(self)
nb::object get_converters_info_list(nb::handle g, Args &a) {
    nb::list ret;
    glue::for_each(entry_points(a[0]), [&](nb::handle e) {
        nb::object p;
        glue::except_exception(
            [&] {
                nb::object key = e.attr("dist").attr("key");
                nb::dict record;
                record["name"] = key;
                record["sanityCheck"] = "ERROR: Plugin Not Found";
                p = record;
                nb::object meta = global(g, "metadata").attr("metadata")(key);
                nb::object headers = item(meta.attr("__dict__"), "_headers");
                record["summary"] = "";
                record["author"] = "";
                record["version"] = "";
                glue::for_each(headers, [&](nb::handle pair) {
                    std::vector<nb::object> nv = glue::unpack(pair, 2);
                    if (eq(nv[0], "Summary")) record["summary"] = nv[1];
                    if (eq(nv[0], "Author")) record["author"] = nv[1];
                    if (eq(nv[0], "Version")) record["version"] = nv[1];
                });
                record["sanityCheck"] = "ok";
                // What the plug-in raises, a sys.exit() at import included, is
                // that plug-in's error; an interrupt or any other BaseException
                // ends the listing.
                glue::except_plugin([&] { check_plugin(e, record); },
                                       [&](nb::python_error &ex) {
                                           record["path"] = e.attr("dist").attr("location");
                                           record_error(record, ex);
                                       });
                ret.append(record);
            },
            [&](nb::python_error &ex) {
                if (!p.is_valid()) {
                    // No key to name it by: list it under the entry point itself,
                    // so a broken distribution is reported rather than hidden.
                    nb::dict record;
                    record["name"] = glue::except_failure([&] { return glue::str_of(e); },
                                                           [](nb::python_error &) { return nb::object(nb::str("unknown")); });
                    p = record;
                }
                ret.append(record_error(p, ex));
            });
    });
    return ret;
}

// get_version(self)
nb::object get_version(nb::handle g, Args &) {
    glue::print(g, global(g, "VERSION"));
    return nb::none();
}

// main(self)
nb::object registry_main(nb::handle g, Args &) {
    glue::print(g, "main");
    return nb::none();
}

// get_converter_by_name(self, name)
nb::object get_converter_by_name(nb::handle, Args &a) {
    nb::object name = a[1];
    nb::object it = glue::iterator_of(entry_points(a[0]));
    for (nb::object e = glue::next_or_end(it); e.is_valid(); e = glue::next_or_end(it)) {
        if (eq(name, e.attr("dist").attr("key"))) {
            return glue::except_plugin([&] { return e.attr("load")(); },
                                          [](nb::python_error &) { return nb::object(nb::none()); });
        }
    }
    return nb::none();
}

// query_convert(self, name, src_type, dst_type)
nb::object query_convert(nb::handle, Args &a) {
    nb::object self = a[0];
    nb::object plugin = self.attr("get_converter_by_name")(a[1]);
    if (plugin.is_none()) return nb::none();
    nb::object params = plugin.attr("query_convert")(a[2], a[3]);
    if (params.is_none()) return nb::none();
    glue::copy_entries(params, self.attr("reserved_param_list"));
    return params;
}

// query_all_converters(self, src_type, dst_type)
nb::object query_all_converters(nb::handle, Args &a) {
    nb::object self = a[0];
    nb::list ret;
    glue::for_each(entry_points(self), [&](nb::handle e) {
        glue::except_exception(
            [&] {
                // A plug-in whose import exits is left out, as one that fails.
                nb::object plugin = glue::except_plugin([&] { return e.attr("load")(); },
                                                        [](nb::python_error &) { return nb::object(); });
                if (!plugin.is_valid() || !contains(glue::check(PyObject_Dir(plugin.ptr())), "query_convert")) return;
                nb::object name = e.attr("dist").attr("key");
                nb::object params = self.attr("query_convert")(name, a[1], a[2]);
                if (!params.is_none()) {
                    nb::dict match;
                    match["name"] = name;
                    match["params"] = params;
                    ret.append(match);
                }
            },
            [](nb::python_error &) {});
    });
    return ret;
}

// get_converters_names_list(self): an entry point that fails in any way is dropped.
nb::object get_converters_names_list(nb::handle, Args &a) {
    nb::list ret;
    glue::for_each(entry_points(a[0]), [&](nb::handle e) {
        glue::except_failure([&] { ret.append(e.attr("dist").attr("key")); }, [](nb::python_error &) {});
    });
    return ret;
}

// get_converters_list(self)
nb::object get_converters_list(nb::handle g, Args &a) {
    nb::list ret;
    glue::for_each(entry_points(a[0]), [&](nb::handle e) {
        glue::except_plugin([&] { ret.append(e.attr("load")()); },
                              [&](nb::python_error &ex) { glue::print(g, "Error:", ex.value()); });
    });
    return ret;
}

// get_converter_info_by_name(self, name): a record that cannot be read or
// compared, in any way, is passed over.
nb::object get_converter_info_by_name(nb::handle, Args &a) {
    nb::object records = a[0].attr("get_converters_info_list")();
    nb::object it = glue::iterator_of(records);
    for (nb::object p = glue::next_or_end(it); p.is_valid(); p = glue::next_or_end(it)) {
        if (glue::except_failure([&] { return eq(item(p, "name"), a[1]); }, [](nb::python_error &) { return false; }))
            return p;
    }
    return nb::none();
}

// Names of the records whose reported types hold what is asked for.
nb::object names_by_types(nb::handle self, nb::handle input, nb::handle output) {
    nb::list ret;
    glue::for_each(self.attr("get_converters_info_list")(), [&](nb::handle p) {
        if (input.is_valid() && !contains(p, "inputsSupported")) return;
        if (output.is_valid() && !contains(p, "outputsSupported")) return;
        if (input.is_valid() && !contains(item(p, "inputsSupported"), input)) return;
        if (output.is_valid() && !contains(item(p, "outputsSupported"), output)) return;
        ret.append(item(p, "name"));
    });
    return ret;
}

nb::object by_input(nb::handle, Args &a) { return names_by_types(a[0], a[1], nb::handle()); }
nb::object by_output(nb::handle, Args &a) { return names_by_types(a[0], nb::handle(), a[1]); }
nb::object by_filetypes(nb::handle, Args &a) { return names_by_types(a[0], a[1], a[2]); }

}  // namespace

GLUE_MODULE(plugin_registry, m) {
    m.attr("VERSION") = "1.0.0";
    m.attr("ENNTRY_POINT_LOOKUP") = "veltrix_converter";
    nb::list apis;
    apis.append("convert");
    m.attr("pluginAPIs") = apis;
    m.attr("metadata") = glue::import("importlib.metadata");
    m.attr("reserved_params_list") = glue::import_from("veltrix.converter.plugin_api.params", "reserved_params_list");
    m.doc() = "Finds, validates and queries the converter plug-ins of the entry-point group veltrix_converter.";
    glue::ClassBuilder(m, "PluginRegistry", nb::handle(),
                       "The installed converter plug-ins. Every query enumerates the entry-point group anew: a plug-in "
                       "installed a moment ago is seen by the next query. Plug-ins are named by their distribution key.")
        .method("__init__", {}, init)
        .method("__get_entrypoint_list", {}, get_entrypoint_list, {}, "_PluginRegistry__get_entrypoint_list")
        .method("get_converters_info_list", {}, get_converters_info_list)
        .doc("One info record per plug-in entry point: name, sanityCheck (the verdict: 'ok', 'Missing APIs: ...', "
             "'Missing Supprted File Types' or 'Error:...'), summary, author, version, inputsSupported, "
             "outputsSupported, path.")
        .method("get_version", {}, get_version)
        .doc("Print the registry's version.")
        .method("main", {}, registry_main)
        .method("get_converter_by_name", {"name"}, get_converter_by_name)
        .doc("The loaded plug-in whose name is `name`, or None.")
        .method("query_convert", {"name", "src_type", "dst_type"}, query_convert)
        .doc("Plug-in `name`'s parameter table for the pair, reserved parameters written into it; None if it does "
             "not convert the pair.")
        .method("query_all_converters", {"src_type", "dst_type"}, query_all_converters)
        .doc("[{'name': ..., 'params': table}] for every plug-in converting the pair, in enumeration order.")
        .method("get_converters_names_list", {}, get_converters_names_list)
        .doc("The names of the installed plug-ins.")
        .method("get_converters_list", {}, get_converters_list)
        .doc("The loaded plug-ins; one that fails to load is reported and left out.")
        .method("get_converter_info_by_name", {"name"}, get_converter_info_by_name)
        .doc("The info record of plug-in `name`, or None.")
        .method("get_converter_names_list_by_input", {"filetype"}, by_input)
        .doc("Names of the plug-ins that read model type `filetype`.")
        .method("get_converter_names_list_by_output", {"filetype"}, by_output)
        .doc("Names of the plug-ins that write model type `filetype`.")
        .method("get_converter_names_list_by_filetypes", {"input", "output"}, by_filetypes)
        .doc("Names of the plug-ins that read `input` and write `output`.")
        .build();
}
