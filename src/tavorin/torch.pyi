"""Types of tavorin.torch: the projection of tensors on any device, as custom operators."""

from typing import Any, Literal, Optional, SupportsIndex

__all__ = ["project_capped_simplex", "project_l1_ball"]

def project_capped_simplex(
    y: Any,
    h: Any,
    l: Any,  # noqa: E741
    u: Any,
    *,
    weights: Optional[Any] = None,
    axis: SupportsIndex = -1,
    sense: Literal["==", "<=", ">="] = "==",
    method: Optional[Literal["sort"]] = None,
) -> Any:
    """The exact projection of the vectors of ``y`` along ``axis``, differentiable in y, h, l, u."""

def project_l1_ball(
    y: Any,
    radius: Any,
    *,
    weights: Optional[Any] = None,
    axis: SupportsIndex = -1,
    check_finite: bool = True,
    method: Optional[Literal["sort"]] = None,
) -> Any:
    """The projection of the vectors of ``y`` onto the weighted l1 ball, differentiable in y."""
