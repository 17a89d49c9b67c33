"""What converter plug-ins build on: reserved parameters, option mapping and samples."""
