#pragma once

// Which way an open device streams: a render device plays, a capture device records.
enum class StreamDirection { Render, Capture };
