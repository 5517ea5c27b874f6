int quorvaneUiTestSupportAnchor = 0;
