int purgekit_smoke() { return 42; }
