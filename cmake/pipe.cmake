# Pipe command channel: filled in by the pipe module.
