// Exists so that the shared precompiled header has a target to live in.
