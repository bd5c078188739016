"""Types of tavorin.torch: the projection of tensors on any device, as custom operators."""

from typing import Any, Literal, Optional, SupportsIndex

__all__ = ["project_capped_simplex"]

def project_capped_simplex(
    y: Any,
    h: Any,
    l: Any,  # noqa: E741
    u: Any,
    *,
    weights: Optional[Any] = None,
    axis: SupportsIndex = -1,
    method: Optional[Literal["sort"]] = None,
) -> Any:
    """The exact projection of the vectors of ``y`` along ``axis``, differentiable in y, h, l, u."""
