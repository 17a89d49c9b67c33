// veltrix.converter.plugin_api.params: the parameters every converter shares.
//
// One public name, `reserved_params_list`: a parameter table (option key ->
// descriptor), built once at import. Key order in the table and in each
// descriptor is significant: it is the processing and the printing order.
#include "glue/glue.h"

#include <initializer_list>

namespace {

using Entry = std::pair<const char *, nb::object>;

nb::dict descriptor(std::initializer_list<Entry> items) {
    nb::dict d;
    for (const auto &[k, v] : items) d[k] = v;
    return d;
}

nb::object s(const char *text) { return nb::str(text); }

nb::object choices(std::initializer_list<const char *> items) {
    nb::list l;
    for (const char *c : items) l.append(c);
    return l;
}

const char *const kSubgraphHelp =
    " layers in the final converted model. Should be present in source or intermediate pass. Output model can be a "
    "subgraph depending on this field. Subgraphing support only for output QTX and frozen 1.x pb->QTX/TFLite/ONNX";

}  // namespace

GLUE_MODULE(params, m) {
    m.doc() = "reserved_params_list: the parameters every converter shares (option key -> descriptor).";
    nb::object reserved = s("reserved"), empty = s(""), no = nb::bool_(false), none = nb::none();
    nb::list shape;
    for (int v : {1, 224, 224, 3}) shape.append(v);

    nb::dict t;
    t["source"] = descriptor({{"type", s("string")}, {"default", empty}, {"group", reserved}, {"help", s("Source model path")}});
    t["dest"] = descriptor({{"type", s("string")}, {"default", empty}, {"group", reserved}, {"help", s("Destination model path")}});
    t["input-model-type"] = descriptor({{"type", s("string")}, {"default", empty}, {"name", s("Source Model Type")},
                                        {"group", reserved}, {"help", s("Type of Input Model")}});
    t["output-model-type"] = descriptor({{"type", s("string")}, {"default", empty}, {"name", s("Target Model Type")},
                                         {"group", reserved}, {"help", s("Type of Output Model")}});
    // Each descriptor gets its own choices list, as a literal in every entry would.
    t["input-type"] = descriptor({{"type", s("string")}, {"choices", choices({"float32", "int8", "uint8"})}, {"default", s("none")},
                                  {"group", reserved}, {"help", s("Model input data type")}, {"name", s("Input Data Type")}});
    t["output-type"] = descriptor({{"type", s("string")}, {"choices", choices({"float32", "int8", "uint8"})}, {"default", s("none")},
                                   {"group", reserved}, {"help", s("Model output data type")}, {"name", s("Output Data Type")}});
    t["samples"] = descriptor({{"type", s("string")}, {"default", empty}, {"name", s("Samples")}, {"group", reserved},
                               {"help", s("The location of dataset samples to be used for quantization. This can be a filepath to "
                                          "a folder containing images or a URL to a datastore containing images.")}});
    t["num-samples"] = descriptor({{"type", s("int")}, {"default", nb::int_(10)}, {"name", s("Number of Samples")}, {"group", reserved},
                                   {"help", s("The number of samples to use for quantization from the sample source.")}});
    t["model-input-type"] = descriptor({{"type", s("string")}, {"choices", choices({"float32", "int8", "uint8"})}, {"default", s("float32")}, {"group", reserved},
                                        {"help", s("The datatype used by the model inputs.")}, {"name", s("Input Data Type")}});
    t["name"] = descriptor({{"type", s("string")}, {"default", empty}, {"name", s("Name")}, {"group", reserved},
                            {"help", s("Set the internal name of the model")}});
    t["constant"] = descriptor({{"type", s("string")}, {"default", empty}, {"name", s("Constant")}, {"group", reserved},
                                {"help", s("Constant Values")}});
    t["labels"] = descriptor({{"type", s("string")}, {"default", empty}, {"name", s("Labels")}, {"group", reserved},
                              {"help", s("Class Labels")}});
    t["input-shape"] = descriptor({{"type", s("int")}, {"name", s("Input Shape")}, {"array", s("4")}, {"default", shape},
                                   {"group", reserved}});
    t["input-names"] = descriptor({{"type", s("string")}, {"array", empty}, {"default", none}, {"name", s("Input Names")},
                                   {"group", reserved}, {"help", nb::str((std::string("Input") + kSubgraphHelp).c_str())}});
    t["output-names"] = descriptor({{"type", s("string")}, {"array", empty}, {"default", none}, {"name", s("Output Names")},
                                    {"group", reserved}, {"help", nb::str((std::string("Output") + kSubgraphHelp).c_str())}});
    t["quantize"] = descriptor({{"type", s("boolean")}, {"default", no}, {"name", s("Quantize")}, {"group", reserved},
                                {"help", s("Flag used to quantize Saved Model and Keras models")}});
    t["quant-tensor"] = descriptor({{"type", s("boolean")}, {"default", no}, {"name", s("Quantize Tensor")}, {"group", reserved},
                                    {"help", s("Flag to determine if we should change to per tensor quantization")}});
    t["quant-channel"] = descriptor({{"type", s("boolean")}, {"default", no}, {"name", s("Quantize Channel")}, {"group", reserved},
                                     {"help", s("Flag to determine if we should change to per channel quantization")}});
    t["quant-normalization"] = descriptor(
        {{"type", s("string")}, {"choices", choices({"signed", "unsigned"})}, {"default", s("unsigned")},
         {"name", s("Quantize Normalization")}, {"group", reserved},
         {"help", s("What type of normalization to use when quantizing using sample images.")}});
    t["quantize-format"] = descriptor({{"type", s("string")}, {"choices", choices({"none", "float32", "int8", "uint8"})},
                                       {"default", s("none")}, {"group", reserved},
                                       {"help", s("Override input-type and output-type to use the type defined in quantize-format")}});
    t["crop"] = descriptor({{"name", s("Crop")}, {"type", s("boolean")}, {"default", no}, {"group", reserved},
                            {"help", s("When using datastore URL in the samples, then you need to set the crop flag in case of "
                                       "classification.")}});
    m.attr("reserved_params_list") = t;
}
