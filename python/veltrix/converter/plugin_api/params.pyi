"""The parameters every converter shares."""
from veltrix.converter.plugin_api.contract import ParameterTable

# Option key -> parameter descriptor; shared by every importer, never modified.
reserved_params_list: ParameterTable
