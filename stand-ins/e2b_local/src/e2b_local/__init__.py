"""A local E2B service for tests and the demo (not part of vorn_sandbox).

The real E2B SDK reaches it over loopback HTTP through its own URL settings
(E2B_API_URL / E2B_SANDBOX_URL, or the api_url / sandbox_url keywords).
"""

from .faults import OPERATIONS, Faults
from .service import DEFAULT_API_KEY, LocalE2BService
from .templates import TemplateRegistry

__all__ = ["DEFAULT_API_KEY", "OPERATIONS", "Faults", "LocalE2BService", "TemplateRegistry"]
