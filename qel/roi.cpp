// The region of interest: size, binning, image format and start position.
#include "errors.h"

namespace qel {

namespace {

constexpr const char kFile[] = "qel/roi.cpp";

PyObject *set_roi_format(Call &call) { return call_with_params(call, QELSetROIFormat); }
PyObject *set_start_pos(Call &call) { return call_with_params(call, QELSetStartPos); }

PyObject *get_roi_format(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int width = 0, height = 0, bin = 0, type = 0;
    if (!handler.check(QELGetROIFormat(id, &width, &height, &bin, &type))) return nullptr;
    Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height)), b(PyLong_FromLong(bin));
    if (!w || !h || !b) return nullptr;
    Ref member(call.result_member(names.ImgType, type));
    if (!member) return nullptr;
    return PyTuple_Pack(4, w.get(), h.get(), b.get(), member.get());
}

PyObject *get_start_pos(Call &call) {
    Handler handler;
    int id;
    if (!handler.find(call) || !call.convert(id)) return nullptr;
    int x = 0, y = 0;
    if (!handler.check(QELGetStartPos(id, &x, &y))) return nullptr;
    return tuple_of(PyLong_FromLong(x), PyLong_FromLong(y));
}

}  // namespace

QEL_FUNCTION(set_roi_format)
    .params({kCameraId, Int("width"), Int("height"), Int("bin"), Enum("img_type", "ImgType")})
    .doc("Set the Region of Interest (ROI) format before starting capture.\n\n    Args:\n"
         "        camera_id (int): The camera ID.\n        width (int): The width of the ROI area (must be a "
         "multiple of 8).\n        height (int): The height of the ROI area (must be a multiple of 2).\n"
         "        bin (int): The binning method (e.g., bin1=1, bin2=2).\n        img_type (ImgType): The output "
         "format type.\n\n    Raises:\n        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_roi_format)
    .params({kCameraId})
    .returns("tuple[int, int, int, ImgType]")
    .doc("Get the Region of Interest (ROI) format.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns: tuple[int, int, int, ImgType]\n        - width (int): The width of the ROI area (must be a "
         "multiple of 8).\n        - height (int): The height of the ROI area (must be a multiple of 2).\n"
         "        - bin (int): The binning method (e.g., bin1=1, bin2=2).\n"
         "        - img_type (ImgType): The output format type.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(set_start_pos)
    .params({kCameraId, Int("start_x"), Int("start_y")})
    .doc("Set the start position of the ROI area.\n\n    Args:\n        camera_id (int): The camera ID.\n"
         "        start_x (int): Start X coordinate.\n        start_y (int): Start Y coordinate.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

QEL_FUNCTION(get_start_pos)
    .params({kCameraId})
    .returns("tuple[int, int]")
    .doc("Get the start position of the current ROI area.\n\n    Args:\n        camera_id (int): The camera ID.\n\n"
         "    Returns:\n        tuple[int, int]: Start X and Start Y coordinates.\n\n    Raises:\n"
         "        QelException: Raised if the operation is unsuccessful.\n    ");

}  // namespace qel
