#!/usr/bin/env python3
# A PulseAudio client whose one stream starts corked, through libpulse:
#     corked_client.py record|playback [KEY=VALUE]...
# The properties go on the client record. Each byte "c" or "u" on standard
# input corks or uncorks the stream, and is echoed once the server has done
# it. Exit status 1 when the server is lost.

import ctypes
import os
import sys
from ctypes import POINTER, Structure, c_char_p, c_int, c_uint8, c_uint32, c_void_p as ptr

pa = ctypes.CDLL("libpulse.so.0")


class SampleSpec(Structure):
    _fields_ = [("format", c_int), ("rate", c_uint32), ("channels", c_uint8)]


for name, result, *args in [
        ("pa_mainloop_new", ptr), ("pa_mainloop_get_api", ptr, ptr),
        ("pa_mainloop_iterate", c_int, ptr, c_int, ptr), ("pa_proplist_new", ptr),
        ("pa_proplist_setp", c_int, ptr, c_char_p),
        ("pa_context_new_with_proplist", ptr, ptr, c_char_p, ptr),
        ("pa_context_connect", c_int, ptr, c_char_p, c_int, ptr),
        ("pa_context_get_state", c_int, ptr),
        ("pa_stream_new", ptr, ptr, c_char_p, POINTER(SampleSpec), ptr),
        ("pa_stream_connect_playback", c_int, ptr, c_char_p, ptr, c_int, ptr, ptr),
        ("pa_stream_connect_record", c_int, ptr, c_char_p, ptr, c_int),
        ("pa_stream_get_state", c_int, ptr), ("pa_stream_cork", ptr, ptr, c_int, ptr, ptr),
        ("pa_operation_get_state", c_int, ptr)]:
    getattr(pa, name).restype, getattr(pa, name).argtypes = result, args

loop, props = pa.pa_mainloop_new(), pa.pa_proplist_new()
for prop in sys.argv[2:]:
    pa.pa_proplist_setp(props, prop.encode())
context = pa.pa_context_new_with_proplist(pa.pa_mainloop_get_api(loop), b"corked_client", props)
pa.pa_context_connect(context, None, 0, None)


def run_until(done):
    while not done():
        if pa.pa_mainloop_iterate(loop, 1, None) < 0 or pa.pa_context_get_state(context) > 4:
            sys.exit(1)


run_until(lambda: pa.pa_context_get_state(context) == 4)  # ready
stream = pa.pa_stream_new(context, b"corked", ctypes.byref(SampleSpec(3, 8000, 1)), None)
if sys.argv[1] == "playback":
    pa.pa_stream_connect_playback(stream, None, None, 1, None, None)  # 1: start corked
else:
    pa.pa_stream_connect_record(stream, None, None, 1)
run_until(lambda: pa.pa_stream_get_state(stream) == 2)  # ready
while command := os.read(0, 1):
    operation = pa.pa_stream_cork(stream, command == b"c", None, None)
    run_until(lambda: pa.pa_operation_get_state(operation) != 0)  # no longer running
    os.write(1, command)
