# The fixture `veltrix_plugin` runs the plug-in through the real front end.
pytest_plugins = ["veltrix.converter.plugin_api.testing"]
