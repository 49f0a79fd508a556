// SPDX-License-Identifier: GPL-2.0
/*
 * Declares the Malta board's CFI NOR chip as a board file would, so that
 * the kernel's physmap and CFI drivers bind it: 4 MiB at 0x1e000000, a
 * 32-bit bank, 64 KiB erase blocks. The first MiB holds the boot code the
 * emulator writes there and stays read-only.
 */
#include <linux/module.h>
#include <linux/mtd/partitions.h>
#include <linux/mtd/physmap.h>
#include <linux/platform_device.h>

static struct mtd_partition parts[] = {
	{ .name = "boot", .offset = 0, .size = 0x100000,
	  .mask_flags = MTD_WRITEABLE },
	{ .name = "factory", .offset = 0x100000, .size = 0x40000 },
	{ .name = "config", .offset = 0x140000, .size = 0x10000 },
	{ .name = "spare", .offset = 0x150000, .size = MTDPART_SIZ_FULL },
};

static struct physmap_flash_data data = {
	.width = 4,
	.parts = parts,
	.nr_parts = ARRAY_SIZE(parts),
};

static struct resource res = DEFINE_RES_MEM(0x1e000000, 0x400000);
static struct platform_device *pdev;

static int __init malta_nor_init(void)
{
	pdev = platform_device_register_resndata(NULL, "physmap-flash", 0,
						 &res, 1, &data, sizeof(data));
	return PTR_ERR_OR_ZERO(pdev);
}

static void __exit malta_nor_exit(void)
{
	platform_device_unregister(pdev);
}

module_init(malta_nor_init);
module_exit(malta_nor_exit);
MODULE_LICENSE("GPL");
