// veltrix.converter.plugin_api.dataset: representative samples for
// quantizing plug-ins, from a datastore, a folder of images or white noise.
//
// Module names, in order: os, Image, np, tf, Dataset. NumPy, Pillow and
// TensorFlow are reached through those names at each call.
#include "glue/glue.h"

GLUE_PRELUDE;

namespace {

nb::list ints(std::initializer_list<int> v) {
    nb::list l;
    for (int i : v) l.append(i);
    return l;
}

// The channels-first test: (batch, channels, height, width) when entry 1 is 3.
bool channels_first(nb::handle input_shape) { return eq(item(input_shape, 1), nb::int_(3)); }

// ------------------------------------------------- image preparation

// Every .png, .jpg or .jpeg file (any letter case) below `folder`, in walk
// order, the walk sorted (subfolders and files) so that the same tree gives
// the same list however it was made.
nb::list find_sample_images(nb::handle g, nb::handle folder) {
    nb::object os = global(g, "os");
    nb::list image_paths;
    glue::for_each(os.attr("walk")(folder), [&](nb::handle entry) {
        std::vector<nb::object> rdf = glue::unpack(entry, 3);
        rdf[1].attr("sort")();
        rdf[2].attr("sort")();
        glue::for_each(rdf[2], [&](nb::handle filename) {
            nb::object lower = filename.attr("lower")();
            if (glue::truth(lower.attr("endswith")(".png")) || glue::truth(lower.attr("endswith")(".jpg")) ||
                glue::truth(lower.attr("endswith")(".jpeg")))
                image_paths.append(os.attr("path").attr("join")(rdf[0], filename));
        });
    });
    return image_paths;
}

// One image file as an array laid out like the model input (without batch).
nb::object load_sample_image(nb::handle g, nb::handle path, nb::handle input_shape) {
    nb::object img = global(g, "Image").attr("open")(path);
    glue::except_when([](nb::python_error &) { return true; }, [&] { img.attr("load")(); },
                      [&](nb::python_error &) {
                          img.attr("close")();  // do not leave the file open until collection
                          throw;
                      });
    const bool first = channels_first(input_shape);
    // Pillow takes (width, height); the shape holds height before width.
    nb::object size = nb::make_tuple(item(input_shape, first ? 3 : 2), item(input_shape, first ? 2 : 1));
    nb::object resized = img.attr("resize")(size);
    img.attr("close")();
    nb::object np = global(g, "np");
    nb::object data = np.attr("asarray")(resized);
    resized.attr("close")();
    if (first) data = np.attr("transpose")(data, ints({2, 0, 1}));
    return data;
}

nb::object normalize_sample(nb::handle g, nb::object instance, nb::handle quant_norm, bool first);

// One sample of the model's input type from a prepared image array.
nb::object convert_sample(nb::handle g, nb::handle data, nb::handle input_shape, nb::handle input_type,
                          nb::handle quant_norm) {
    nb::object np = global(g, "np");
    if (eq(input_type, np.attr("uint8"))) return np.attr("reshape")(data, input_shape).attr("astype")(input_type);
    if (eq(input_type, np.attr("int8"))) {
        nb::object shifted = glue::check(PyNumber_Subtract(data.attr("astype")(np.attr("int32")).ptr(), nb::int_(128).ptr()));
        nb::object instance = shifted.attr("astype")(np.attr("int8"));
        return np.attr("reshape")(instance, input_shape).attr("astype")(input_type);
    }
    if (eq(input_type, np.attr("float32"))) {
        nb::object instance = np.attr("reshape")(data, input_shape).attr("astype")(np.attr("float32"));
        return normalize_sample(g, instance, quant_norm, channels_first(input_shape));
    }
    glue::raise(PyExc_ValueError, glue::check(PyNumber_Remainder(nb::str("Input type: %s not supported").ptr(),
                                                                 glue::str_of(input_type).ptr())));
}

// Subtract the ImageNet channel means from a channels-last float tensor.
// Keras 3 (TensorFlow 2.16 on) has neither backend.constant nor bias_add;
// core TensorFlow computes the same values there.
nb::object subtract_imagenet_means(nb::handle g, nb::handle instance) {
    nb::object np = global(g, "np"), tf = global(g, "tf");
    nb::list mean;
    for (double m : {123.68, 116.779, 103.939}) mean.append(m);
    nb::object negated = glue::check(PyNumber_Negative(np.attr("array")(mean).ptr()));
    nb::object backend = tf.attr("keras").attr("backend");
    nb::object cast = tf.attr("cast")(instance, tf.attr("float32"));
    if (glue::has_attr(backend, "constant") && glue::has_attr(backend, "bias_add")) {
        nb::object mean_tensor = backend.attr("constant")(negated, "dtype"_a = tf.attr("float32"));
        return backend.attr("bias_add")(cast, mean_tensor, "channels_last");
    }
    nb::object mean_tensor = tf.attr("constant")(negated, "dtype"_a = tf.attr("float32"));
    return tf.attr("nn").attr("bias_add")(cast, mean_tensor);
}

// A float32 sample normalised by `quant_norm`, as a TensorFlow float32 tensor.
nb::object normalize_sample(nb::handle g, nb::object instance, nb::handle quant_norm, bool first) {
    nb::object tf = global(g, "tf"), np = global(g, "np");
    nb::object data;
    if (eq(quant_norm, "unsigned")) {
        data = tf.attr("cast")(instance, tf.attr("float32"));
        data = glue::check(PyNumber_InPlaceTrueDivide(data.ptr(), nb::float_(255.0).ptr()));
    } else if (eq(quant_norm, "signed")) {
        data = tf.attr("cast")(instance, tf.attr("float32"));
        data = glue::check(PyNumber_InPlaceTrueDivide(data.ptr(), nb::float_(127.5).ptr()));
        data = glue::check(PyNumber_InPlaceSubtract(data.ptr(), nb::float_(1.0).ptr()));
    } else if (eq(quant_norm, "imagenet")) {
        if (first) instance = np.attr("transpose")(instance, ints({0, 2, 3, 1}));
        data = subtract_imagenet_means(g, instance);
        if (first) data = np.attr("transpose")(data, ints({0, 3, 1, 2}));
    } else if (eq(quant_norm, "raw")) {
        data = instance;
    } else {
        glue::raise(PyExc_ValueError, nb::str("\t - [{}] is not supported as a normalization option.").format(quant_norm));
    }
    return tf.attr("cast")(data, tf.attr("float32"));
}

nb::list one(nb::handle sample) {
    nb::list l;
    l.append(sample);
    return l;
}

// ------------------------------------------------------- generators

// iter(range(n))
nb::object counter(nb::handle g, nb::handle n) { return glue::iterator_of(global(g, "range")(n)); }

// Advance an iterator; false at its end.
bool advance(nb::handle it) { return glue::next_or_end(it).is_valid(); }

// What every sample source holds: the module namespace and the Dataset the
// pass serves.
class SamplePass : public glue::GeneratorBody {
  public:
    SamplePass(nb::handle g, nb::handle self) : g_(nb::borrow(g)), self_(nb::borrow(self)) {}
    int traverse(visitproc visit, void *arg) override {
        GLUE_VISIT(g_);
        GLUE_VISIT(self_);
        return 0;
    }

  protected:
    nb::object g_, self_;
};

// Uniform noise of the model's input shape and type.
class WhiteNoise : public SamplePass {
  public:
    using SamplePass::SamplePass;
    nb::object resume(nb::handle thrown) override {
        if (thrown.is_valid()) glue::reraise(thrown);
        if (!remaining_.is_valid()) remaining_ = counter(g_, self_.attr("num_samples"));
        nb::object np = global(g_, "np"), random = np.attr("random");
        while (advance(remaining_)) {
            nb::object type = self_.attr("input_type"), shape = self_.attr("input_shape");
            if (eq(type, np.attr("float32"))) return one(random.attr("random")(shape).attr("astype")(type));
            if (eq(type, np.attr("uint8"))) return one(random.attr("randint")(0, 256, shape).attr("astype")(type));
            if (eq(type, np.attr("int8"))) return one(random.attr("randint")(-128, 128, shape).attr("astype")(type));
        }
        return nb::object();
    }
    int traverse(visitproc visit, void *arg) override {
        GLUE_VISIT(remaining_);
        return SamplePass::traverse(visit, arg);
    }

  private:
    nb::object remaining_;  // iterator over the samples still to make
};

// Images drawn at random, each at most once per pass; an image that fails
// in any way (an Exception thrown in at the yield included) is skipped.
class Folder : public SamplePass {
  public:
    Folder(nb::handle g, nb::handle self, nb::handle folder) : SamplePass(g, self), folder_(nb::borrow(folder)) {}
    nb::object resume(nb::handle thrown) override {
        if (thrown.is_valid() && !PyObject_TypeCheck(thrown.ptr(), reinterpret_cast<PyTypeObject *>(PyExc_Exception)))
            glue::reraise(thrown);
        if (!unused_.is_valid()) {
            unused_ = find_sample_images(g_, folder_);
            if (glue::length_of(unused_) == 0)
                glue::raise(PyExc_ValueError,
                            glue::check(PyNumber_Remainder(
                                nb::str("Cannot find any usable images for quantization in %s").ptr(), folder_.ptr())));
            remaining_ = counter(g_, self_.attr("num_samples"));
        }
        while (advance(remaining_)) {
            if (glue::length_of(unused_) == 0) return nb::object();
            nb::object sample = glue::except_exception(
                [&] {
                    nb::object index = global(g_, "np").attr("random").attr("randint")(0, glue::length_of(unused_));
                    nb::object path = unused_.attr("pop")(index);
                    nb::object shape = self_.attr("input_shape");
                    nb::object data = load_sample_image(g_, path, shape);
                    return nb::object(one(convert_sample(g_, data, shape, self_.attr("input_type"), self_.attr("quant_norm"))));
                },
                [](nb::python_error &) { return nb::object(); });
            if (sample.is_valid()) return sample;
        }
        return nb::object();
    }
    int traverse(visitproc visit, void *arg) override {
        GLUE_VISIT(folder_);
        GLUE_VISIT(unused_);
        GLUE_VISIT(remaining_);
        return SamplePass::traverse(visit, arg);
    }

  private:
    nb::object folder_;
    nb::object unused_;     // the image paths not drawn yet in this pass
    nb::object remaining_;  // iterator over the samples still to draw
};

// Samples of a datastore feed, normalised as channels-last.
class Datastore : public SamplePass {
  public:
    Datastore(nb::handle g, nb::handle self, nb::handle source, nb::handle crop)
        : SamplePass(g, self), source_(nb::borrow(source)), crop_(nb::borrow(crop)) {}
    nb::object resume(nb::handle thrown) override {
        if (thrown.is_valid()) glue::reraise(thrown);
        if (!feed_.is_valid()) {
            const char *name = glue::truth(crop_) ? "DatastoreGeneratorClassification" : "DatastoreGeneratorDetection";
            nb::object feed_class = glue::import_from("veltrix.converter.plugin_api.sample_feeds", name);
            nb::object shape = item(self_.attr("input_shape"), nb::slice(nb::int_(1), nb::none(), nb::none()));
            nb::object feed = feed_class("source"_a = source_, "input_shape"_a = shape);
            feed_ = glue::iterator_of(feed.attr("get_samples")());
            yielded_ = nb::int_(0);
        } else {
            yielded_ = glue::check(PyNumber_InPlaceAdd(yielded_.ptr(), nb::int_(1).ptr()));
            int done = PyObject_RichCompareBool(yielded_.ptr(), self_.attr("num_samples").ptr(), Py_GE);
            if (done < 0) throw nb::python_error();
            if (done) return nb::object();
        }
        nb::object instance = glue::next_or_end(feed_);
        if (!instance.is_valid()) return nb::object();
        return one(normalize_sample(g_, instance, self_.attr("quant_norm"), false));
    }
    int traverse(visitproc visit, void *arg) override {
        GLUE_VISIT(source_);
        GLUE_VISIT(crop_);
        GLUE_VISIT(feed_);
        GLUE_VISIT(yielded_);
        return SamplePass::traverse(visit, arg);
    }

  private:
    nb::object source_, crop_;
    nb::object feed_;     // iterator over the feed's samples, once started
    nb::object yielded_;  // how many samples this pass has yielded, less one
};

enum class Source { datastore, folder, noise };

const char *const kGenName = "representative_dataset_gen";
const char *const kGenQualname = "Dataset.generator.<locals>.representative_dataset_gen";

// Dataset.__init__(self, samples, input_shape, quant_norm, num_samples=10, input_type=np.float32)
nb::object init(nb::handle, Args &a) {
    nb::object self = a[0];
    self.attr("samples") = a[1];
    self.attr("input_shape") = a[2];
    self.attr("quant_norm") = a[3];
    self.attr("annotations_list") = nb::list();
    self.attr("num_samples") = a[4];
    self.attr("input_type") = a[5];
    return nb::none();
}

// Dataset.generator(self): classify the source now, read nothing yet.
nb::object make_pass_function(nb::handle g, Args &a) {
    nb::object self = a[0];
    std::vector<nb::object> parts = glue::unpack(self.attr("samples"), 2);
    nb::object samples_source = parts[0], crop = parts[1];
    Source kind;
    if (glue::startswith(samples_source, "http://") || glue::truth(samples_source.attr("endswith")(".veltrix")) ||
        glue::truth(samples_source.attr("endswith")(".kelp"))) {
        kind = Source::datastore;
    } else if (glue::truth(global(g, "os").attr("path").attr("isdir")(samples_source))) {
        kind = Source::folder;
    } else {
        glue::print(g, "We do not support datastore datasets currently");
        glue::print(g, "Using white noise dataset generation");
        kind = Source::noise;
    }
    // The function holds the dataset and the two parts of `samples` as they
    // are now, as a closure; which generator it makes is decided here.
    return glue::closure(kGenName, g, glue::Signature{kGenQualname, {}, {}, true},
                         nb::make_tuple(g, self, samples_source, crop), [kind](nb::handle captured, Args &) {
                             nb::object ns = item(captured, 0), dataset = item(captured, 1), source = item(captured, 2);
                             glue::GeneratorBody *body;
                             if (kind == Source::datastore)
                                 body = new Datastore(ns, dataset, source, item(captured, 3));
                             else if (kind == Source::folder)
                                 body = new Folder(ns, dataset, source);
                             else
                                 body = new WhiteNoise(ns, dataset);
                             return glue::generator(body, kGenName, kGenQualname);
                         });
}

}  // namespace

GLUE_MODULE(dataset, m) {
    m.attr("os") = glue::import("os");
    m.attr("Image") = glue::import_from("PIL", "Image");
    m.attr("np") = glue::import("numpy");
    m.attr("tf") = glue::import("tensorflow");
    m.doc() = "Representative samples for quantization: a folder of images, a datastore or white noise.";
    glue::ClassBuilder(m, "Dataset", nb::handle(),
                       "Dataset((source, crop), input_shape, quant_norm, num_samples=10, input_type=np.float32). "
                       "source is a folder of .png/.jpg/.jpeg images (searched recursively), a datastore (http:// URL "
                       "or a .veltrix/.kelp project) or anything else for white noise. input_shape includes the batch "
                       "entry, which must be 1 ((1, H, W, C), or (1, 3, H, W) channels-first). quant_norm: 'unsigned' "
                       "(0..1), 'signed' (-1..1), 'imagenet' (channel means subtracted) or 'raw'.")
        .method("__init__", {"samples", "input_shape", "quant_norm", "num_samples", "input_type"}, init,
                {nb::int_(10), m.attr("np").attr("float32")})
        .method("generator", {}, make_pass_function)
        .doc("A function whose every call starts a fresh, lazy pass yielding [sample] items shaped like "
             "input_shape: float32 samples are TensorFlow tensors (normalised), uint8 and int8 samples NumPy "
             "arrays (not normalised; int8 is the pixel minus 128), white noise NumPy arrays. Images that do not "
             "fit the shape are skipped, so a pass may yield fewer than num_samples items, or none.")
        .build();
}
