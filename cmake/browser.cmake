# The Qt WebEngine browser: filled in by the browser module.
