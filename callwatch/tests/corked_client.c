// A PulseAudio client for end-to-end tests: it opens one playback or record
// stream that starts corked, so a test can show that an open but corked
// stream is not audio in use. SIGUSR1 uncorks the stream, SIGUSR2 corks it
// again, SIGTERM or SIGINT disconnect and exit 0.
//
//   corked_client playback|record [--device=NAME] [--client-name=NAME]
//                 [--property=KEY=VALUE]... [--stream-property=KEY=VALUE]...
//
// --property goes on the connection (the client record), which is where a
// watcher reads an application's identity; --stream-property goes on the
// stream alone, so a test can give a stream an identity its client lacks.
// Progress is reported on standard output, one word a line, so the test
// can wait for each step: "ready" once the stream is connected (still
// corked), then "uncorked" or "corked" each time the server has confirmed a
// change. Any failure is one line on standard error and exit status 1.

#include <pulse/pulseaudio.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct client {
  pa_mainloop* loop;
  pa_context* context;
  pa_stream* stream;
  int playback;
  const char* device;
  pa_proplist* stream_props;
  int failed;
};

// Reports the first failure only: a failed connection also fails the
// stream, and one cause is enough.
static void fail(struct client* c, const char* what) {
  if (c->failed) return;
  c->failed = 1;
  fprintf(stderr, "corked_client: %s: %s\n", what, pa_strerror(pa_context_errno(c->context)));
  pa_mainloop_quit(c->loop, 1);
}

static void say(const char* word) {
  printf("%s\n", word);
  fflush(stdout);
}

static void on_cork_done(pa_stream* s, int success, void* userdata) {
  struct client* c = userdata;
  if (!success) {
    fail(c, "cork");
    return;
  }
  say(pa_stream_is_corked(s) ? "corked" : "uncorked");
}

static void set_corked(struct client* c, int corked) {
  if (c->stream == NULL || pa_stream_get_state(c->stream) != PA_STREAM_READY) return;
  pa_operation* op = pa_stream_cork(c->stream, corked, on_cork_done, c);
  if (op == NULL) {
    fail(c, "cork");
    return;
  }
  pa_operation_unref(op);
}

// Silence keeps a playback stream fed without making a sound anywhere: the
// tests play into a null sink.
static void on_writable(pa_stream* s, size_t nbytes, void* userdata) {
  (void)userdata;
  static const char zeros[4096];
  while (nbytes > 0) {
    size_t n = nbytes < sizeof zeros ? nbytes : sizeof zeros;
    if (pa_stream_write(s, zeros, n, NULL, 0, PA_SEEK_RELATIVE) < 0) return;
    nbytes -= n;
  }
}

static void on_readable(pa_stream* s, size_t nbytes, void* userdata) {
  (void)nbytes;
  (void)userdata;
  const void* data;
  size_t length;
  while (pa_stream_readable_size(s) > 0) {
    if (pa_stream_peek(s, &data, &length) < 0 || length == 0) return;
    pa_stream_drop(s);
  }
}

static void on_stream_state(pa_stream* s, void* userdata) {
  struct client* c = userdata;
  switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY:
      say("ready");
      break;
    case PA_STREAM_FAILED:
      fail(c, "stream");
      break;
    default:
      break;
  }
}

static void open_stream(struct client* c) {
  static const pa_sample_spec format = {PA_SAMPLE_S16LE, 8000, 1};
  c->stream =
      pa_stream_new_with_proplist(c->context, "corked stream", &format, NULL, c->stream_props);
  if (c->stream == NULL) {
    fail(c, "pa_stream_new");
    return;
  }
  pa_stream_set_state_callback(c->stream, on_stream_state, c);
  int status;
  if (c->playback) {
    pa_stream_set_write_callback(c->stream, on_writable, c);
    status =
        pa_stream_connect_playback(c->stream, c->device, NULL, PA_STREAM_START_CORKED, NULL, NULL);
  } else {
    pa_stream_set_read_callback(c->stream, on_readable, c);
    status = pa_stream_connect_record(c->stream, c->device, NULL, PA_STREAM_START_CORKED);
  }
  if (status < 0) fail(c, "connect stream");
}

static void on_context_state(pa_context* context, void* userdata) {
  struct client* c = userdata;
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      open_stream(c);
      break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      fail(c, "connection");
      break;
    default:
      break;
  }
}

static void on_signal(pa_mainloop_api* api, pa_signal_event* e, int sig, void* userdata) {
  (void)e;
  struct client* c = userdata;
  if (sig == SIGUSR1) {
    set_corked(c, 0);
  } else if (sig == SIGUSR2) {
    set_corked(c, 1);
  } else {
    api->quit(api, 0);
  }
}

static int usage(void) {
  fprintf(stderr,
          "usage: corked_client playback|record [--device=NAME] [--client-name=NAME] "
          "[--property=KEY=VALUE]... [--stream-property=KEY=VALUE]...\n");
  return 2;
}

// Fills `c` and the client's `props` from the options; false on anything it
// does not know.
static int parse_options(int argc, char** argv, struct client* c, pa_proplist* props) {
  for (int i = 2; i < argc; i++) {
    const char* arg = argv[i];
    if (strncmp(arg, "--device=", 9) == 0) {
      c->device = arg + 9;
    } else if (strncmp(arg, "--client-name=", 14) == 0) {
      pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, arg + 14);
    } else if (strncmp(arg, "--property=", 11) == 0) {
      if (pa_proplist_setp(props, arg + 11) < 0) return 0;
    } else if (strncmp(arg, "--stream-property=", 18) == 0) {
      if (pa_proplist_setp(c->stream_props, arg + 18) < 0) return 0;
    } else {
      return 0;
    }
  }
  return 1;
}

int main(int argc, char** argv) {
  struct client c = {0};
  if (argc < 2) return usage();
  if (strcmp(argv[1], "playback") == 0) {
    c.playback = 1;
  } else if (strcmp(argv[1], "record") != 0) {
    return usage();
  }
  pa_proplist* props = pa_proplist_new();
  c.stream_props = pa_proplist_new();
  if (!parse_options(argc, argv, &c, props)) {
    pa_proplist_free(props);
    pa_proplist_free(c.stream_props);
    return usage();
  }

  c.loop = pa_mainloop_new();
  pa_mainloop_api* api = pa_mainloop_get_api(c.loop);
  pa_signal_init(api);
  pa_signal_new(SIGUSR1, on_signal, &c);
  pa_signal_new(SIGUSR2, on_signal, &c);
  pa_signal_new(SIGTERM, on_signal, &c);
  pa_signal_new(SIGINT, on_signal, &c);

  // A name given here would replace the one from --client-name.
  const char* name = pa_proplist_contains(props, PA_PROP_APPLICATION_NAME) ? NULL : "corked_client";
  c.context = pa_context_new_with_proplist(api, name, props);
  pa_proplist_free(props);
  pa_context_set_state_callback(c.context, on_context_state, &c);
  int status = 1;
  if (pa_context_connect(c.context, NULL, PA_CONTEXT_NOAUTOSPAWN, NULL) < 0) {
    fail(&c, "connect");
  } else {
    pa_mainloop_run(c.loop, &status);
  }

  // Leaving on purpose is not a failure: silence the state callbacks first.
  pa_context_set_state_callback(c.context, NULL, NULL);
  if (c.stream != NULL) {
    pa_stream_set_state_callback(c.stream, NULL, NULL);
    pa_stream_disconnect(c.stream);
    pa_stream_unref(c.stream);
  }
  pa_context_disconnect(c.context);
  pa_context_unref(c.context);
  pa_proplist_free(c.stream_props);
  pa_signal_done();
  pa_mainloop_free(c.loop);
  return status;
}
