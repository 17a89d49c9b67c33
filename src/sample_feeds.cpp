// veltrix.converter.plugin_api.sample_feeds: representative samples from a
// datastore, through `get_cached_dataset` of the datasets module.
//
// Module names, in order: get_cached_dataset, np, BaseDatasetGenerator,
// DatastoreGeneratorClassification, DatastoreGeneratorDetection.
#include "glue/glue.h"

GLUE_PRELUDE;

namespace {

// BaseDatasetGenerator.__init__(self, source, input_shape)
nb::object base_init(nb::handle, Args &a) {
    a[0].attr("datastore_path") = a[1];
    a[0].attr("input_shape") = a[2];
    a[0].attr("dataset") = nb::none();
    return nb::none();
}

// The body of get_samples(): every item of self.dataset as a float32 array.
class Samples : public glue::GeneratorBody {
  public:
    Samples(nb::handle g, nb::handle self) : g_(nb::borrow(g)), self_(nb::borrow(self)) {}

    nb::object resume(nb::handle thrown) override {
        if (thrown.is_valid()) glue::reraise(thrown);
        if (!samples_.is_valid()) samples_ = glue::iterator_of(self_.attr("dataset"));
        nb::object sample = glue::next_or_end(samples_);
        if (!sample.is_valid()) return nb::object();
        return sample.attr("numpy")().attr("astype")(global(g_, "np").attr("float32"));
    }
    int traverse(visitproc visit, void *arg) override {
        GLUE_VISIT(g_);
        GLUE_VISIT(self_);
        GLUE_VISIT(samples_);
        return 0;
    }

  private:
    nb::object g_, self_, samples_;  // samples_: iterator over self.dataset, once started
};

// get_samples(self)
nb::object get_samples(nb::handle g, Args &a) {
    return glue::generator(new Samples(g, a[0]), "get_samples", "BaseDatasetGenerator.get_samples");
}

// The constructor shared by both feeds: the base initialiser through super(),
// then one request to the datastore, then the dataset it builds.
nb::object feed_init(nb::handle g, Args &a, const char *cls, const char *task, const char *p_type, bool detection) {
    nb::object self = a[0];
    global(g, "super")(global(g, cls), self).attr("__init__")(a[1], a[2]);
    nb::dict arguments;
    arguments["datastore_server"] = self.attr("datastore_path");
    arguments["input_shape"] = self.attr("input_shape");
    arguments["batch_size"] = 1;
    if (detection) arguments["max_detections"] = 100;
    nb::object ds = global(g, "get_cached_dataset")("task"_a = task, "p_type"_a = p_type, "arguments"_a = arguments);
    self.attr("dataset") = ds.attr("build_train_dataset")();
    return nb::none();
}

nb::object classification_init(nb::handle g, Args &a) {
    return feed_init(g, a, "DatastoreGeneratorClassification", "classification", "image", false);
}
nb::object detection_init(nb::handle g, Args &a) {
    return feed_init(g, a, "DatastoreGeneratorDetection", "detection", "boxes", true);
}

}  // namespace

GLUE_MODULE(sample_feeds, m) {
    m.attr("get_cached_dataset") = glue::import_from("veltrix.converter.plugin_api.datasets", "get_cached_dataset");
    m.attr("np") = glue::import("numpy");
    m.doc() = "Sample feeds from a datastore, through veltrix.converter.plugin_api.datasets.";
    nb::object base = glue::ClassBuilder(m, "BaseDatasetGenerator", nb::handle(),
                                         "A datastore reference and the dataset of its samples (None until a feed "
                                         "builds it).")
                          .method("__init__", {"source", "input_shape"}, base_init)
                          .generator_method("get_samples", {}, get_samples)
                          .doc("Every sample of self.dataset as a float32 NumPy array (batch, height, width, channels).")
                          .build();
    glue::ClassBuilder(m, "DatastoreGeneratorClassification", base,
                       "A feed for classification models: images cropped to their centre.")
        .method("__init__", {"source", "input_shape"}, classification_init)
        .build();
    glue::ClassBuilder(m, "DatastoreGeneratorDetection", base,
                       "A feed for detection models: whole images, up to 100 detections.")
        .method("__init__", {"source", "input_shape"}, detection_init)
        .build();
}
