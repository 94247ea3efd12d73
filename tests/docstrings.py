"""Docstrings of the camera functions, as the module carries them."""

QUOTED = {
    "open_camera": (
        '\n'
        '    Open a camera for use.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '    '
    ),
    "init_camera": (
        '\n'
        '    Initialize the camera for capturing images.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '    '
    ),
    "close_camera": (
        '\n'
        '    Close the camera.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '    '
    ),
    "get_id": (
        "Retrieve the camera ID from the camera's flash memory.\n"
        '\n'
        '    Args:\n'
        '        i_camera_id (int): The camera ID.\n'
        '\n'
        '    Returns:\n'
        '        Id: The camera ID.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "set_id": (
        "Write a new camera ID to the camera's flash memory.\n"
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '        serial_number (Id): The camera serial number\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_serial_number": (
        'Get the serial number of the camera.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '    Returns:\n'
        '        Id: The camera serial number id.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_num_of_controls": (
        '\n'
        '    Get the number of control settings available on the camera.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    Returns:\n'
        '        int: Number of controls.\n'
        '    '
    ),
    "get_control_caps": (
        '\n'
        '    Get the capabilities of a specific control on the camera.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '        control_index (int): The control index.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    Returns:\n'
        '        Controlaps: THe control caps\n'
        '    '
    ),
    "get_control_value": (
        '\n'
        '    Get the value of a control setting on the camera.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        control_type (int): The control type.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    Returns:\n'
        "        tuple[int, bool]: The value of the control and whether it's in auto mode.\n"
        '    '
    ),
    "set_control_value": (
        '\n'
        '    Set the value of a control setting on the camera.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        control_type (int): The control type.\n'
        '        value (long): The new control value.\n'
        '        auto_mode (bool): Whether to enable auto mode.\n'
        '\n'
        '    Raises:\n'
        '        QelException\n'
        '\n'
        '    '
    ),
    "set_roi_format": (
        'Set the Region of Interest (ROI) format before starting capture.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        width (int): The width of the ROI area (must be a multiple of 8).\n'
        '        height (int): The height of the ROI area (must be a multiple of 2).\n'
        '        bin (int): The binning method (e.g., bin1=1, bin2=2).\n'
        '        img_type (ImgType): The output format type.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_roi_format": (
        'Get the Region of Interest (ROI) format.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '    Returns: tuple[int, int, int, ImgType]\n'
        '        - width (int): The width of the ROI area (must be a multiple of 8).\n'
        '        - height (int): The height of the ROI area (must be a multiple of 2).\n'
        '        - bin (int): The binning method (e.g., bin1=1, bin2=2).\n'
        '        - img_type (ImgType): The output format type.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "set_start_pos": (
        'Set the start position of the ROI area.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        start_x (int): Start X coordinate.\n'
        '        start_y (int): Start Y coordinate.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_start_pos": (
        'Get the start position of the current ROI area.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '    Returns:\n'
        '        tuple[int, int]: Start X and Start Y coordinates.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_camera_support_mode": (
        'Get the supported camera modes for the camera.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '    Returns:\n'
        '        SupportedMode: The supported mode that contains a list of supported camera modes.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_camera_mode": (
        'Get the current camera mode.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '\n'
        '    Returns:\n'
        '        CameraMode: The current camera mode.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "set_camera_mode": (
        'Set the camera mode.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        mode (CameraMode): The camera mode to set.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "send_soft_trigger": (
        'Send a soft trigger to the camera to start or stop exposure.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        start (bool): True to start exposure, False to stop.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "set_trigger_output_io_conf": (
        'Configure the trigger output IO.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        pin (int): Trigger output pin (e.g., PINA or PINB).\n'
        '        pin_high (bool): True to output a high signal, False for a low signal.\n'
        '        delay (int): Delay time in microseconds.\n'
        '        duration (int): Duration time in microseconds.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
    "get_trigger_output_io_conf": (
        'Get the trigger output IO configuration.\n'
        '\n'
        '    Args:\n'
        '        camera_id (int): The camera ID.\n'
        '        pin (int): Trigger output pin (e.g., PINA or PINB).\n'
        '\n'
        '    Returns:\n'
        '        tuple[bool, int, int]: Pin high status, delay, and duration.\n'
        '\n'
        '    Raises:\n'
        '        QelException: Raised if the operation is unsuccessful.\n'
        '    '
    ),
}

RAISES = "QelException: Raised if the operation is unsuccessful."
CAMERA_ID = "camera_id (int): The camera ID."
BUFFER_SIZE = "buffer_size (int): The size of the buffer to store the image data."
WAIT_MS = "wait_ms (int): Time to wait for an image in milliseconds (-1 for infinite wait)."
DIRECTION = "direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.)."


def layout(summary: str, params: list[str], returns: list[str] | None, raises: str = RAISES) -> str:
    """Summary, Args block, Returns block when something is returned, Raises block, a last line of four spaces."""
    lines = [summary, "", "    Args:"] + ["        " + p for p in params] + [""]
    if returns:
        lines += ["    Returns:"] + returns + [""]
    lines += ["    Raises:", "        " + raises, "    "]
    return "\n".join(lines)


def eight(text: str) -> list[str]:
    return ["        " + text]


LAID_OUT = {
    "start_exposure": layout(
        "Start a camera exposure.",
        [CAMERA_ID, "is_dark (bool): True for a dark frame exposure, False otherwise."],
        None,
    ),
    "stop_exposure": layout("Stop the ongoing camera exposure.", [CAMERA_ID], None),
    "get_exp_status": layout(
        "Get the status of the camera exposure.", [CAMERA_ID], eight("ExposureStatus: The exposure status.")
    ),
    "get_data_after_exp": layout(
        "Get the image data after an exposure has completed.",
        [CAMERA_ID, BUFFER_SIZE],
        eight("bytes: The captured image data."),
    ),
    "get_data_after_exp_gps": layout(
        "Get the image data after an exposure has completed.",
        [CAMERA_ID, BUFFER_SIZE],
        eight("tuple(bytes, GpsData): The captured image data and the gps data."),
    ),
    "start_video_capture": layout("Start video capture.", [CAMERA_ID], None),
    "stop_video_capture": layout("Stop video capture.", [CAMERA_ID], None),
    "get_video_data": layout(
        "Get video data from the camera.",
        [CAMERA_ID, BUFFER_SIZE, WAIT_MS],
        eight("bytes: The captured image data."),
        "QelException: Raised if the operation is unsuccessful or timeout occurs.",
    ),
    "get_video_data_gps": layout(
        "Get video data from the camera.",
        [CAMERA_ID, BUFFER_SIZE, WAIT_MS],
        eight("tuple(bytes, GpsData): The captured image data and the gps data."),
        "QelException: Raised if the operation is unsuccessful or timeout occurs.",
    ),
    "get_dropped_frames": layout(
        "Get the number of dropped frames during video capture.",
        [CAMERA_ID],
        eight("int: The number of dropped frames."),
    ),
    "enable_dark_subtract": layout(
        "Enable dark subtract using a dark frame BMP file.",
        [CAMERA_ID, "bmp_path (str): Path to the dark frame BMP file."],
        None,
    ),
    "disable_dark_subtract": layout("Disable the dark subtract feature.", [CAMERA_ID], None),
    "pulse_guide_on": layout(
        "Activate guiding in the specified direction using the ST4 port.", [CAMERA_ID, DIRECTION], None
    ),
    "pulse_guide_off": layout(
        "Deactivate guiding in the specified direction using the ST4 port.", [CAMERA_ID, DIRECTION], None
    ),
    "get_gain_offset": layout(
        "Get preset gain and offset values for the camera.",
        [CAMERA_ID],
        eight("tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity gain,")
        + [" " * 35 + "gain at lowest read noise, and offset at lowest read noise."],
    ),
    "get_lmh_gain_offset": layout(
        "Get low, medium, and high gain and offset settings for the camera.",
        [CAMERA_ID],
        eight("tuple[int, int, int, int]: Low gain, medium gain, high gain, and high offset values."),
    ),
    "gps_get_data": layout(
        "Get GPS data for the start and end lines.",
        [CAMERA_ID],
        eight("tuple[DateTime, DateTime]: GPS data for the start and end lines."),
    ),
}

DOCSTRINGS = {**QUOTED, **LAID_OUT}
