// The runtime's own failure types. Classes carry no state; their meaning is the class, its
// docstring and the message given by the raiser.
#include "modtree/classes.hpp"
#include "modtree/modtree.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kInputDimsMessage =
    "The model's input dimensions were not specified, but they are required for benchmarks inputs "
    "generation. "
    "Please specify the input dimensions via 'input_dims' argument.";
constexpr const char* kDetectionMessage =
    "The framework type could not be automatically inferred from the checkpoint. Please specify the "
    "framework type "
    "explicitly, by passing 'framework_type=...' to ostrel.load.";

struct ErrorClass {
  const char* name;
  const char* base;  // nullptr: Exception
  const char* doc;   // nullptr: no docstring
};

// Docstrings are stored as a class body's triple-quoted text would store them.
#define DOC(text) "\n    " text "\n    "

constexpr ErrorClass kErrors[] = {
    {"OstrelError", nullptr, DOC("A base class for all the library's exceptions.")},
    {"InputTypeError", "OstrelError",
     DOC("Inputs are passed in wrong data structure (e.g. torch.Tensor instead of List).")},
    {"EmptyInputValue", "OstrelError", DOC("A required value was not provided.")},
    {"FrameworkNotSupportedError", "OstrelError",
     DOC("The specified framework is not supported. Please refer to FrameworkType enum for valid values.")},
    {"CheckpointFileDoesNotExistError", "OstrelError",
     DOC("The specified checkpoint file does not exist at the specified path.")},
    {"InvalidInputDimensions", "OstrelError", DOC("The specified input dimensions is not a valid tuple.")},
    {"InvalidStaticBatchSize", "OstrelError", DOC("The specified static batch size is not a valid int.")},
    {"InvalidInferenceHardware", "OstrelError",
     DOC("The specified inference hardware is not valid. Please refer to InferenceHardware enum for valid "
         "values.")},
    {"InvalidLoggingLevel", "OstrelError",
     DOC("The specified logging level is not valid. Please select from the logging package's standard "
         "logging "
         "level values.")},
    {"InputDimensionsNotSpecifiedError", "OstrelError",
     DOC("The model's input dimensions were not specified, but they are required for benchmarks inputs "
         "generation.\n    Please specify the input dimensions via 'input_dims' argument.")},
    {"FailedToLoadCheckpointError", "OstrelError", DOC("The checkpoint failed to load for any reason.")},
    {"CorruptedModelCompressionError", "FailedToLoadCheckpointError",
     DOC("Failed to unpack the saved model zip/tar file, corrupted zip/tar.")},
    {"CorruptedSavedModelZipError", "FailedToLoadCheckpointError",
     DOC("Failed to unpack the saved model zip file, corrupted zip.")},
    {"BadSavedModelZipError", "FailedToLoadCheckpointError",
     DOC("Failed to load the saved model from the provided zip file, it may be missing.")},
    {"MissingFileModelError", "FailedToLoadCheckpointError",
     DOC("Failed to load the saved model from the provided zip/tar file, the model is missing.")},
    {"ModelFrameworkNotLoadedError", "OstrelError",
     DOC("An internal error indicating an import is missing for running inference for the model's "
         "framework.")},
    {"ModelFrameworkRuntimeError", "OstrelError",
     DOC("An error that occurred in the model's framework runtime, after the model was loaded.")},
    {"ModelFrameworkDetectionError", "OstrelError", nullptr},
    {"ModelValueError", "OstrelError",
     DOC("An error that occurred in the model's initialization/preperation, before or while the model was "
         "loaded.")},
    {"ForwardPassNotImplemented", "OstrelError",
     DOC("A pure forward-pass method is not implemented for the inferencer.")},
    {"DTypeError", "OstrelError", DOC("Mismatch between expected dtype and received dtype.")},
    {"MaxBatchSizeExceededError", "OstrelError",
     DOC("(in dynamic batch size use cases) Specified batch size exceeds maximum value allowed by model.")},
    {"MappingKeyError", "OstrelError",
     DOC("Unrecognized key or attribute was passed to a mapping data structure (dict, Enum, Schema, etc.)")},
};

#undef DOC

// `__init__(self)` that passes a fixed message to the parent constructor.
void fixed_message_init(modtree::ClassBuilder& cls, const char* message) {
  cls.def(
      "__init__",
      [message](py::object self) {
        py::module_::import("builtins").attr("Exception").attr("__init__")(self, message);
      },
      py::arg("self"));
}

}  // namespace

MODTREE_MODULE("common.exceptions", m) {
  for (const ErrorClass& e : kErrors) {
    modtree::ClassBuilder cls(m, e.name);
    cls.base(e.base != nullptr ? m.attr(e.base) : py::module_::import("builtins").attr("Exception"));
    if (e.doc != nullptr) cls.doc(e.doc);
    if (std::string_view(e.name) == "InputDimensionsNotSpecifiedError")
      fixed_message_init(cls, kInputDimsMessage);
    else if (std::string_view(e.name) == "ModelFrameworkDetectionError")
      fixed_message_init(cls, kDetectionMessage);
    cls.build();
  }
}
