// The region of interest: size, binning, image format and start position.
#include "errors.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/roi.cpp";

PyObject *set_roi_format(Call &call) {
    Handler handler;
    int id, width, height, bin, type;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, width) || !call.c_int(2, height) ||
        !call.c_int(3, bin) || !call.c_enum(4, type))
        return nullptr;
    return handler.check(QELSetROIFormat(id, width, height, bin, type)) ? none() : nullptr;
}

PyObject *get_roi_format(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int width = 0, height = 0, bin = 0, type = 0;
    if (!handler.check(QELGetROIFormat(id, &width, &height, &bin, &type))) return nullptr;
    Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height)), b(PyLong_FromLong(bin));
    if (!w || !h || !b) return nullptr;
    Ref member(call.result_member(names.ImgType, type));
    if (!member) return nullptr;
    return PyTuple_Pack(4, w.get(), h.get(), b.get(), member.get());
}

PyObject *set_start_pos(Call &call) {
    Handler handler;
    int id, x, y;
    if (!handler.find(call) || !call.c_int(0, id) || !call.c_int(1, x) || !call.c_int(2, y)) return nullptr;
    return handler.check(QELSetStartPos(id, x, y)) ? none() : nullptr;
}

PyObject *get_start_pos(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.c_int(0, id)) return nullptr;
    int x = 0, y = 0;
    if (!handler.check(QELGetStartPos(id, &x, &y))) return nullptr;
    return tuple_of(PyLong_FromLong(x), PyLong_FromLong(y));
}

const Param camera_id_params[] = {{"camera_id", Kind::Int, "int"}};
const Param set_roi_params[] = {
    {"camera_id", Kind::Int, "int"}, {"width", Kind::Int, "int"},          {"height", Kind::Int, "int"},
    {"bin", Kind::Int, "int"},       {"img_type", Kind::Enum, "ImgType"},
};
const Param set_start_params[] = {
    {"camera_id", Kind::Int, "int"}, {"start_x", Kind::Int, "int"}, {"start_y", Kind::Int, "int"}};

}  // namespace

const FunctionSpec set_roi_format_spec = {
    "set_roi_format",
    "Set the Region of Interest (ROI) format before starting capture.\n\n    Args:\n        camera_id (int): The "
    "camera ID.\n        width (int): The width of the ROI area (must be a multiple of 8).\n        height (int): The "
    "height of the ROI area (must be a multiple of 2).\n        bin (int): The binning method (e.g., bin1=1, "
    "bin2=2).\n        img_type (ImgType): The output format type.\n\n    Raises:\n        QelException: Raised if "
    "the operation is unsuccessful.\n    ",
    set_roi_params, count_of(set_roi_params), nullptr, 0, "None", set_roi_format, kFile, __LINE__,
};

const FunctionSpec get_roi_format_spec = {
    "get_roi_format",
    "Get the Region of Interest (ROI) format.\n\n    Args:\n        camera_id (int): The camera ID.\n\n    Returns: "
    "tuple[int, int, int, ImgType]\n        - width (int): The width of the ROI area (must be a multiple of 8).\n"
    "        - height (int): The height of the ROI area (must be a multiple of 2).\n        - bin (int): The binning "
    "method (e.g., bin1=1, bin2=2).\n        - img_type (ImgType): The output format type.\n\n    Raises:\n"
    "        QelException: Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "tuple[int, int, int, ImgType]", get_roi_format, kFile,
    __LINE__,
};

const FunctionSpec set_start_pos_spec = {
    "set_start_pos",
    "Set the start position of the ROI area.\n\n    Args:\n        camera_id (int): The camera ID.\n        start_x "
    "(int): Start X coordinate.\n        start_y (int): Start Y coordinate.\n\n    Raises:\n        QelException: "
    "Raised if the operation is unsuccessful.\n    ",
    set_start_params, count_of(set_start_params), nullptr, 0, "None", set_start_pos, kFile, __LINE__,
};

const FunctionSpec get_start_pos_spec = {
    "get_start_pos",
    "Get the start position of the current ROI area.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
    "    Returns:\n        tuple[int, int]: Start X and Start Y coordinates.\n\n    Raises:\n        QelException: "
    "Raised if the operation is unsuccessful.\n    ",
    camera_id_params, count_of(camera_id_params), nullptr, 0, "tuple[int, int]", get_start_pos, kFile, __LINE__,
};

}  // namespace qel
