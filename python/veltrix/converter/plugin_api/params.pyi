from typing import Any

# Option key -> parameter descriptor ("type", "default", "name", "group",
# "help", "choices", "array"); shared by every importer, never modified.
reserved_params_list: dict[str, dict[str, Any]]
