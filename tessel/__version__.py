version = "2.0"
