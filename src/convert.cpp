// veltrix.converter.convert: the command-line front end of veltrix-converter.
//
// `main` tokenizes sys.argv into the option dictionary, prints the version
// line and runs exactly one action. Every function reaches the others and the
// imported names (os, sys, subprocess, PluginRegistry, OptionMapper,
// reserved_params_list) through the module namespace at each call, so
// replacing a module attribute changes what is called.
#include "glue/glue.h"

GLUE_PRELUDE;

namespace {

nb::object call(nb::handle g, const char *name) { return global(g, name)(); }

nb::dict response(const char *success, nb::handle message) {
    nb::dict r;
    r["success"] = success;
    r["message"] = message;
    return r;
}
nb::dict failure(nb::handle message) { return response("no", message); }
nb::dict failure(const char *message) { return failure(nb::str(message)); }

// ------------------------------------------------------------------ main

// The usage text printed when no action applies.
const char *const kUsage[] = {
    "usage: veltrix-converter [options]",
    "options:",
    "    [-h] [--help] [plugin_name source_type dest_type]      Prints this help for a plugin or this help",
    "    [-v] [--version]                             Prints version",
    "    [-r] [--reserve]                             Prints Reserved Params List",
    "    [-l] [--list]                                Lists installed plugins",
    "    [-i] [--install] path_to_whl_file            Installs a plugin",
    "    [-u] [--uninstall] plugin_name               Uninstalls a plugin",
    "    [--source]  source_model [--dest] destination_model [conveter specific parameters]    Converts a model",
};

// The install/uninstall step of the dispatch for the key `key`.
void package_action(nb::handle g, nb::handle args, const char *key, const char *action, const char *missing) {
    nb::object value = item(args, key);
    if (glue::is_str(value))
        global(g, action)(value);
    else
        glue::print(g, missing);
}

// Everything of main() that runs under its SystemExit guard; true when the
// run is over (an action ran), false when a conversion is asked for.
bool dispatch(nb::handle g, nb::handle args) {
    nb::object version = glue::import_from("veltrix.converter", "version");
    glue::print(g, version());
    if (contains(args, "v") || contains(args, "version")) return true;
    if (contains(args, "l") || contains(args, "list")) {
        call(g, "__print_plugins");
        return true;
    }
    // "i" before "install", both before "u" and "uninstall": the first present key acts.
    static const char *const kPackageSteps[][3] = {{"i", "install", "Package Path Missing"},
                                                   {"install", "install", "Package Path Missing"},
                                                   {"u", "uninstall", "Plugin Name Missing"},
                                                   {"uninstall", "uninstall", "Plugin Name Missing"}};
    for (const auto &[key, action, missing] : kPackageSteps) {
        if (contains(args, key)) {
            package_action(g, args, key, action, missing);
            return true;
        }
    }
    if (contains(args, "h") || contains(args, "help")) {
        nb::object plugin_name = nb::str("");
        if (contains(args, "h")) plugin_name = item(args, "h");
        if (contains(args, "help")) plugin_name = item(args, "help");
        if (!glue::is_str(plugin_name)) plugin_name = nb::str("");
        global(g, "__help")(plugin_name, args);
        return true;
    }
    if (contains(args, "r") || contains(args, "reserve")) {
        global(g, "__help")("reserve", args);
        return true;
    }
    if (contains(args, "p") || contains(args, "params")) {
        global(g, "__help")("params", args);
        return true;
    }
    if (!contains(args, "source") || !contains(args, "dest")) {
        global(g, "__help")("", args);
        return true;
    }
    return false;
}

// main()
nb::object main_(nb::handle g, Args &) {
    nb::object args = call(g, "__args_to_dict");
    try {
        if (dispatch(g, args)) return nb::none();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_SystemExit)) throw;
        return nb::none();
    }
    nb::object ret = global(g, "convert")(args);
    if (contains(ret, "success") && contains(ret, "message")) {
        if (eq(item(ret, "success"), "yes")) {
            glue::print(g, add(nb::str("SUCCESS: "), item(ret, "message")));
            glue::print(g, add(nb::str("Source: "), item(args, "source")));
            glue::print(g, add(nb::str("Destination: "), item(args, "dest")));
        } else {
            glue::print(g, add(nb::str("FAILURE: "), item(ret, "message")));
        }
    }
    return nb::none();
}

// --------------------------------------------------------- conversion

// get_params(name, src_type, dst_type)
nb::object get_params(nb::handle g, Args &a) {
    nb::object plugin = call(g, "PluginRegistry").attr("get_converter_by_name")(a[0]);
    if (plugin.is_none()) return nb::none();
    nb::object params = plugin.attr("query_convert")(a[1], a[2]);
    if (params.is_none()) return nb::none();
    glue::copy_entries(params, global(g, "reserved_params_list"));
    return params;
}

// The text a caught exception reports: its first argument, or, when it has
// none, its class name (an empty FAILURE line would tell the user nothing).
nb::object exception_text(nb::python_error &e) {
    nb::object args = e.value().attr("args");
    if (glue::length_of(args) > 0) return glue::str_of(item(args, 0));
    return e.value().type().attr("__name__");
}

// Steps of convert() that run under its guard: the chosen plug-in module, the
// source and destination, and the parameter dictionary; or a failure response.
struct Prepared {
    nb::object failure, module = {}, src = {}, dst = {}, params = {};
};

Prepared prepare(nb::handle g, nb::handle args) {
    if (args.is_none()) return {failure("No Arguments")};
    if (!contains(args, "source"))
        return {failure("Missing source parameter. It shoulbe the second last argument on the command line")};
    if (!contains(args, "dest"))
        return {failure("Missing destination paramter. It shoulbe the last argument on the command line")};
    call(g, "OptionMapper").attr("get_model_types")(args);
    nb::object src = item(args, "source"), dst = item(args, "dest");
    nb::object src_type = item(args, "input-model-type"), dst_type = item(args, "output-model-type");
    nb::object pm = call(g, "PluginRegistry");
    nb::object name;
    if (contains(args, "plugin") && !eq(item(args, "plugin"), "")) {
        name = item(args, "plugin");
    } else {
        nb::object found = pm.attr("query_all_converters")(src_type, dst_type);
        if (!glue::truth(found)) return {failure(add(nb::str("No Converter found to convert "), src, nb::str(" to "), dst))};
        name = item(item(found, 0), "name");
    }
    glue::print(g, add(nb::str("Using Converter Plugin : "), name));
    nb::object module = pm.attr("get_converter_by_name")(name);
    nb::object apis = glue::check(PyObject_Dir(module.ptr()));
    if (!contains(apis, "convert")) return {failure("convert API not implemented")};
    if (!contains(apis, "query_convert")) return {failure("query_conver API not implemented")};
    nb::object ref_params = pm.attr("query_convert")(name, src_type, dst_type);
    if (ref_params.is_none())
        return {failure(add(nb::str("Conversion not support for "), src_type, nb::str(" to "), dst_type))};
    nb::object params = global(g, "__sanitize_args")(args, ref_params);
    return {nb::object(), module, src, dst, params};
}

// convert(args)
nb::object convert(nb::handle g, Args &a) {
    Prepared p = glue::except_exception([&] { return prepare(g, a[0]); },
                                        [](nb::python_error &e) { return Prepared{failure(exception_text(e))}; });
    if (p.failure.is_valid()) return p.failure;
    nb::object ret = p.module.attr("convert")(p.src, p.dst, p.params);
    nb::dict converter_response = response("no", nb::str(""));
    if (!ret.is_none()) {
        if (contains(ret, "success")) converter_response["success"] = item(ret, "success");
        if (contains(ret, "message"))
            converter_response["message"] = add(item(ret, "message"), nb::str("\nSource:    "), item(p.params, "source"),
                                                nb::str("\nDestination: "), item(p.params, "dest"));
    } else {
        converter_response["message"] = "The converter plugin returned no result";
    }
    return converter_response;
}

// __sanitize_args(params, ref_params)
nb::object sanitize_args(nb::handle g, Args &a) {
    nb::object ap = call(g, "OptionMapper");
    ap.attr("replace")(a[0], "default-shape", "input-shape");
    ap.attr("replace")(a[0], "default_shape", "input-shape");
    return ap.attr("process")(a[0], a[1], true);
}

// --------------------------------------------------- help and listing

// get_plugins(): an empty list when anything at all fails, SystemExit
// included; only the user's interrupt (KeyboardInterrupt) gets through.
nb::object get_plugins(nb::handle g, Args &) {
    return glue::except_failure([&] { return call(g, "PluginRegistry").attr("get_converters_info_list")(); },
                                 [](nb::python_error &) -> nb::object { return nb::list(); });
}

// Print a parameter table: a head line per key, a line per descriptor entry.
void print_table(nb::handle g, nb::handle params) {
    glue::for_each(params, [&](nb::handle key) {
        nb::object pp = item(params, key);
        nb::object line = nb::borrow(key);
        if (contains(pp, "help")) line = add(key, nb::str(":  "), glue::spaces(13 - glue::length_of(key)), item(pp, "help"));
        glue::print(g, line);
        glue::for_each(pp, [&](nb::handle k) {
            if (eq(k, "help")) return;
            glue::print(g, add(nb::str("      "), k, nb::str(":"), glue::spaces(9 - glue::length_of(k)), glue::str_of(item(pp, k))));
        });
        glue::print(g, "");
    });
}

// __help(name, args)
nb::object help(nb::handle g, Args &a) {
    nb::object name = a[0], args = a[1];
    if (eq(name, "")) {
        for (const char *line : kUsage) glue::print(g, line);
        return nb::none();
    }
    nb::object params;
    if (eq(name, "reserve")) {
        params = global(g, "reserved_params_list");
    } else {
        nb::object src_type = nb::str(""), dst_type = nb::str("");
        if (contains(args, "source")) src_type = item(args, "source");
        if (contains(args, "dest")) dst_type = item(args, "dest");
        // A type given as a bare flag (--source with no value) is no type:
        // the usage line, not a concatenation error out of the command.
        if (!glue::is_str(src_type) || !glue::is_str(dst_type) || eq(src_type, "") || eq(dst_type, "")) {
            glue::print(g, "usage: veltrix-converter -h [--help] -s [--source] source_type -d [--dest] dest_type");
            return nb::none();
        }
        params = global(g, "get_params")(name, src_type, dst_type);
        if (params.is_none()) {
            glue::print(g, add(nb::str("No help for input type:"), src_type, nb::str(" and output type:"), dst_type));
            return nb::none();
        }
    }
    print_table(g, params);
    return nb::none();
}

// __print_plugins()
nb::object print_plugins(nb::handle g, Args &) {
    nb::object pluging_list = call(g, "get_plugins");
    glue::for_each(pluging_list, [&](nb::handle plugin) {
        glue::print(g, "");
        glue::print(g, add(nb::str("---------------   "), glue::str_of(item(plugin, "name")), nb::str("   ---------------")));
        glue::for_each(plugin, [&](nb::handle key) {
            nb::object fill = glue::spaces(20 - glue::length_of(key)), value = item(plugin, key);
            const bool marked = eq(key, "sanityCheck") && contains(value, "Error");
            glue::print(g, add(key, nb::str(marked ? ": >>>> " : ":"), fill, glue::str_of(value)));
        });
    });
    return nb::none();
}

// ---------------------------------------------- installation and removal

// __getEnv(): the interpreter paths derived from the standard library's folder.
nb::object get_env(nb::handle g, Args &) {
    nb::dict env;
    env["python_exe"] = "";
    env["python_env"] = "";
    glue::except_exception(
        [&] {
            nb::object os = global(g, "os");
            nb::object path = os.attr("path");
            nb::object p = os.attr("__file__");
            nb::object pathexe = item(path.attr("split")(item(path.attr("split")(p), 0)), 0);
            env["python_exe"] = path.attr("join")(pathexe, "python");
            nb::object pathenv = path.attr("join")(pathexe, "Lib");
            env["python_env"] = path.attr("join")(pathenv, "site-packages");
        },
        [](nb::python_error &) {});
    return env;
}

// True inside a virtual environment (sys.prefix differs from sys.base_prefix).
bool in_virtual_env(nb::handle g) {
    nb::object sys = global(g, "sys");
    return !eq(sys.attr("prefix"), sys.attr("base_prefix"));
}

// The interpreter pip runs under. The derived path names no interpreter on
// most installations (<prefix>/python), and inside a virtual environment it
// names the base interpreter, which would install outside the environment
// running the command: use the running interpreter in both cases.
nb::object pip_python(nb::handle g, nb::handle derived) {
    nb::object sys = global(g, "sys"), os = global(g, "os");
    if (in_virtual_env(g)) return sys.attr("executable");
    nb::object suffix = glue::import("sysconfig").attr("get_config_var")("EXE");
    nb::object candidates = nb::make_tuple(derived, glue::truth(suffix) ? add(derived, suffix) : nb::borrow(derived));
    for (nb::handle c : candidates)
        if (glue::truth(os.attr("path").attr("isfile")(c)) && glue::truth(os.attr("access")(c, os.attr("X_OK"))))
            return nb::borrow(c);
    return sys.attr("executable");
}

// install/uninstall: pip under the interpreter, verbose on the console or
// captured; steps that may fail, under run_pip's guard.
nb::object pip_steps(nb::handle g, nb::handle package, nb::handle show_message, bool install) {
    const char *verb = install ? "Installing " : "Uninstalling ";
    {
        nb::object env = call(g, "__getEnv");
        if (eq(item(env, "python_exe"), "")) {
            glue::print(g, "Python Environment is Not Defined");
            return nb::str("Python Environment is Not Defined");
        }
        nb::object python_exe = pip_python(g, item(env, "python_exe"));
        glue::print(g, add(nb::str(verb), package, nb::str(" ...")));
        nb::list cmd;
        cmd.append(python_exe);
        cmd.append("-m");
        cmd.append("pip");
        if (install) {
            cmd.append("install");
            cmd.append(package);
            // pip refuses a user install inside a virtual environment.
            if (!in_virtual_env(g)) cmd.append("--user");
        } else {
            cmd.append("uninstall");
            cmd.append("-y");
            cmd.append(package);
        }
        nb::object subprocess = global(g, "subprocess");
        if (glue::truth(show_message)) {
            cmd.append("-v");
            subprocess.attr("check_call")(cmd);
            return nb::str("");
        }
        // communicate() drains both pipes together, so a child filling one
        // while we read the other cannot stall.
        nb::object pipe = subprocess.attr("PIPE");
        nb::object proc = subprocess.attr("Popen")(cmd, "stdout"_a = pipe, "stderr"_a = pipe);
        std::vector<nb::object> streams = glue::unpack(proc.attr("communicate")(), 2);
        nb::object output = add(streams[0].attr("decode")("utf-8"), streams[1].attr("decode")("utf-8"));
        proc.attr("wait")();
        return output;
    }
}

nb::object run_pip(nb::handle g, Args &a, bool install) {
    nb::object package = a[0], show_message = a[1];
    return glue::except_exception([&] { return pip_steps(g, package, show_message, install); },
                                  [&](nb::python_error &) {
                                      return add(nb::str(install ? "Error Installing " : "Error Uninstalling "), package);
                                  });
}

nb::object install(nb::handle g, Args &a) { return run_pip(g, a, true); }
nb::object uninstall(nb::handle g, Args &a) { return run_pip(g, a, false); }

// ------------------------------------------------------------ tokenizer

bool dash(nb::handle s) { return glue::startswith(s, "-"); }

// Steps of __args_to_dict under its guard: fills `params` as it goes.
void tokenize(nb::handle g, nb::dict &params) {
    nb::object args = global(g, "sys").attr("argv");
    Py_ssize_t n = glue::length_of(args);
    // All three tests run, as `&` of booleans would run them.
    bool extract = n >= 3;
    extract &= !dash(item(args, n - 2));
    extract &= !dash(item(args, n - 1));
    if (extract) {
        params["source"] = item(args, n - 2);
        params["dest"] = item(args, n - 1);
        args = item(args, nb::slice(nb::none(), nb::int_(n - 2), nb::none()));
        n = glue::length_of(args);
    }
    Py_ssize_t index = 0;
    glue::for_each(args, [&](nb::handle arg) {
        Py_ssize_t i = index++;
        if (!dash(arg)) return;
        nb::object rest = nb::slice(nb::int_(1), nb::none(), nb::none());
        nb::object key = item(arg, rest);
        if (dash(key)) key = item(key, rest);
        if (dash(key)) {
            glue::print(g, add(nb::str("Invalid Argument: "), arg));
            return;
        }
        nb::object nxt = nb::bool_(true);
        if (i < n - 1 && !dash(item(args, i + 1))) nxt = item(args, i + 1);
        set_item(params, key.attr("replace")("_", "-"), nxt);
    });
}

// __args_to_dict()
nb::object args_to_dict(nb::handle g, Args &) {
    nb::dict params;
    glue::except_exception([&] { tokenize(g, params); },
                           [&](nb::python_error &e) { glue::print(g, glue::str_of(e.value())); });
    return params;
}

}  // namespace

GLUE_MODULE(convert, m) {
    m.attr("os") = glue::import("os");
    m.attr("sys") = glue::import("sys");
    m.attr("subprocess") = glue::import("subprocess");
    m.attr("PluginRegistry") = glue::import_from("veltrix.converter.plugin_registry", "PluginRegistry");
    m.attr("OptionMapper") = glue::import_from("veltrix.converter.plugin_api.option_mapper", "OptionMapper");
    m.attr("reserved_params_list") = glue::import_from("veltrix.converter.plugin_api.params", "reserved_params_list");

    m.doc() = "The command-line front end of veltrix-converter: main() is the command.";
    glue::def(m, "main", {}, main_, {},
              "Run the command once: read sys.argv, print the version line, then perform one action (listing, "
              "installation, removal, help or a conversion) and print its result. Returns None.");
    glue::def(m, "get_params", {"name", "src_type", "dst_type"}, get_params, {},
              "The parameter table of plug-in `name` for the pair of model types, the reserved parameters written "
              "into it; None when the plug-in is not installed or does not convert the pair.");
    glue::def(m, "install", {"package", "show_message"}, install, {nb::bool_(true)},
              "Install a plug-in wheel with pip into the running environment. With show_message, pip speaks on the "
              "console and '' is returned; otherwise pip's output is returned. 'Error Installing ...' on failure.");
    glue::def(m, "uninstall", {"package", "show_message"}, uninstall, {nb::bool_(true)},
              "Remove a distribution with pip (pip uninstall -y). Returns as install() does.");
    glue::def(m, "convert", {"args"}, convert, {},
              "Convert as the option dictionary `args` asks (source, dest, options): choose the plug-in, map the "
              "options, run the plug-in. Returns {'success': 'yes' or 'no', 'message': text}; an exception raised "
              "by the plug-in's convert propagates.");
    glue::def(m, "get_plugins", {}, get_plugins, {},
              "The plug-in info records of every installed plug-in; [] when the registry fails.");
    glue::def(m, "__sanitize_args", {"params", "ref_params"}, sanitize_args);
    glue::def(m, "__help", {"name", "args"}, help);
    glue::def(m, "__getEnv", {}, get_env);
    glue::def(m, "__args_to_dict", {}, args_to_dict);
    glue::def(m, "__print_plugins", {}, print_plugins);
}
